// Throughput of the answer filters on a typical page, plain and decoded from gzip, br
// and zstd as it streams, and on inputs built to make a naive scan quadratic, with the
// reference versions on small inputs for contrast.
//
//   bench_filters [page MB = 10] [reference KB = 16]

#include "proxy/contentdecoder.h"
#include "proxy/encoders.h"
#include "proxy/htmlfilter.h"
#include "proxy/referencefilters.h"
#include "proxy/responsefilters.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

using Filter = std::function<void(char*, qsizetype)>;

QByteArray repeatedTo(QByteArrayView piece, qsizetype size) {
    QByteArray out;
    out.reserve(size + piece.size());
    while (out.size() < size)
        out.append(piece);
    out.truncate(size);
    return out;
}

// An HTML answer of about `size` bytes: header block with cookies, then markup, text,
// links, forms and inline and external scripts in a mix like that of a busy page.
QByteArray typicalPage(qsizetype size) {
    QByteArray page =
        "HTTP/1.1 200 OK\r\nDate: Mon, 27 Jan 2003 01:01:01 GMT\r\n"
        "Content-Type: text/html; charset=UTF-8\r\n"
        "Set-Cookie: session=abcdef0123456789; path=/; HttpOnly\r\n"
        "Set-Cookie: pref=lang%3Dja; expires=Wed, 01 Jan 2031 00:00:00 GMT\r\n"
        "Cache-Control: private\r\n\r\n"
        "<!DOCTYPE html>\n<html lang=\"ja\"><head><title>Page</title>\n"
        "<script src=\"/js/app.js\" type=\"text/javascript\"></script>\n</head><body>\n";
    const QByteArrayList blocks = {
        "<div class=\"article\"><h2>Heading of a section</h2>\n",
        "<p>Plain text of a paragraph, long enough to look like prose, with <b>bold</b> and "
        "<i>italic</i> words &amp; entities, and a <a href=\"/path/to/page.html?id=42\">link"
        "</a> in the middle of it.</p>\n",
        "<script type=\"text/javascript\">\nvar data = {a: 1, b: [1, 2, 3]};\n"
        "function f(x) { return x < 10 ? x * 2 : x - 1; }\n"
        "document.write('<div id=\"w\">' + f(3) + '</div>');\n</script>\n",
        "<ul><li><a href=\"/a\">One</a></li><li><a href=\"/b\">Two</a></li></ul>\n",
        "<form action=\"/search\" method=\"get\"><input type=\"text\" name=\"q\"/>"
        "<input type=\"submit\" value=\"Go\"/></form>\n",
        "<noscript><p>Scripts are off.</p></noscript>\n",
        "<table><tr><td>1</td><td>2</td></tr><tr><td>3 &lt; 4</td><td>x</td></tr></table>\n",
        "<SCRIPT LANGUAGE=\"JavaScript\">\n<!--\nif (a < b && c > d) { go(); }\n//-->\n</SCRIPT>\n",
        "<img src=\"/img/photo.jpg\" alt=\"photo\" width=\"320\" height=\"240\">\n",
        "</div>\n"};
    QRandomGenerator random(7);
    while (page.size() < size)
        page.append(blocks[random.bounded(int(blocks.size()))]);
    page.append("</body></html>\n");
    return page;
}

// The typical page with a paragraph after every block, drawn from a vocabulary of a few
// thousand made-up words, so that it compresses about as much as real pages do (gzip
// to a fifth or so) rather than sixty times.
QByteArray variedPage(qsizetype size) {
    QRandomGenerator random(11);
    QByteArrayList words;
    for (int i = 0; i < 3000; ++i) {
        QByteArray word;
        for (int letter = random.bounded(2, 11); letter > 0; --letter)
            word.append(char('a' + random.bounded(26)));
        words.append(word);
    }
    const QByteArray typical = typicalPage(size);
    QByteArray page;
    page.reserve(size + 4096);
    for (const QByteArray& line : typical.split('\n')) {
        if (page.size() >= size)
            break;
        page.append(line).append('\n');
        if (!page.contains("\r\n\r\n"))
            continue;
        page.append("<p>");
        for (int word = random.bounded(4, 16); word > 0; --word) {
            // Skewed toward the first words, as a language's are.
            const int pick = random.bounded(3000);
            page.append(words[pick * pick / 3000]).append(' ');
        }
        page.append("</p>\n");
    }
    return page + "</body></html>\n";
}

// Best of `rounds` runs, each on a fresh copy; returns milliseconds.
double bestMs(const QByteArray& input, const Filter& filter, int rounds) {
    double best = 1e300;
    for (int i = 0; i < rounds; ++i) {
        QByteArray copy = input;
        copy.detach();
        QElapsedTimer timer;
        timer.start();
        filter(copy.data(), copy.size());
        best = std::min(best, double(timer.nsecsElapsed()) / 1e6);
    }
    return best;
}

void report(const char* what, const QByteArray& input, const Filter& filter, int rounds = 3) {
    const double ms = bestMs(input, filter, rounds);
    const double mb = double(input.size()) / (1024.0 * 1024.0);
    std::printf("  %-44s %10.0f KB %11.3f ms %12.3f MB/s\n", what, mb * 1024.0, ms,
                ms > 0 ? mb / (ms / 1000.0) : 0.0);
}

void both(char* data, qsizetype length) {
    Tarnwick::neutraliseSetCookie(data, length);
    Tarnwick::rewriteScripts(data, length);
}

// Both rules fed 16 KB pieces, as an answer streams; the bytes land back in place.
void bothInPieces(char* data, qsizetype length) {
    Tarnwick::HtmlFilter filter(true, true, false);
    qsizetype out = 0;
    const auto put = [&](const QByteArray& bytes) {
        std::memcpy(data + out, bytes.constData(), size_t(bytes.size()));
        out += bytes.size();
    };
    for (qsizetype at = 0; at < length; at += 16 * 1024)
        put(filter.feed(QByteArrayView(data + at, std::min<qsizetype>(16 * 1024, length - at))));
    put(filter.finish());
}

// The page as 16 KB chunks (its head left out).
QByteArray chunkedPage(const QByteArray& page) {
    const qsizetype body = page.indexOf("\r\n\r\n") + 4;
    QByteArray out = page.first(body);
    for (qsizetype at = body; at < page.size(); at += 16 * 1024) {
        const QByteArray data = page.mid(at, 16 * 1024);
        out += QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n";
    }
    return out + "0\r\n\r\n";
}

// The page's body compressed by `codings`, decoded in 16 KB pieces and each decoded
// piece filtered (both rules) as it comes; MB/s counted on the decoded page.
void reportDecoded(const QByteArray& page, const char* codings) {
    const qsizetype body = page.indexOf("\r\n\r\n") + 4;
    const QByteArray encoded = Encoders::encoded(codings, QByteArrayView(page).sliced(body));
    const auto decodeAndFilter = [&](char*, qsizetype) {
        const auto decoder = Tarnwick::ContentDecoder::forCodings(codings);
        Tarnwick::HtmlFilter filter(true, true, false);
        qsizetype out = filter.feed(QByteArrayView(page).first(body)).size();
        QByteArray decoded;
        for (qsizetype at = 0; at < encoded.size(); at += 16 * 1024) {
            decoded.resize(0); // keeps its capacity
            decoder->feed(QByteArrayView(encoded).sliced(
                              at, std::min<qsizetype>(16 * 1024, encoded.size() - at)),
                          decoded);
            out += filter.feed(decoded).size();
        }
        out += filter.finish().size();
        if (decoder->finish() != Tarnwick::ContentDecoder::Status::Ok || out != page.size()) {
            std::fprintf(stderr, "%s: the page did not decode\n", codings);
            std::exit(1);
        }
    };
    char name[64];
    std::snprintf(name, sizeof name, "%s (%lld KB), decoded, both, 16 KB pieces", codings,
                  static_cast<long long>(encoded.size() / 1024));
    report(name, page, decodeAndFilter);
}

void scriptsChunked(char* data, qsizetype length) {
    Tarnwick::HtmlFilter::filterWhole(data, length, false, true, true);
}

void referenceBoth(char* data, qsizetype length) {
    Tarnwick::Reference::neutraliseSetCookie(data, length);
    Tarnwick::Reference::rewriteScripts(data, length);
}

} // namespace

int main(int argc, char** argv) {
    const qsizetype pageSize = qsizetype((argc > 1 ? std::atof(argv[1]) : 10.0) * 1024 * 1024);
    const qsizetype referenceSize = qsizetype((argc > 2 ? std::atof(argv[2]) : 16.0) * 1024);

    const QByteArray page = typicalPage(pageSize);
    std::printf("Typical HTML page\n");
    report("Set-Cookie rule (stops at the blank line)", page, Tarnwick::neutraliseSetCookie);
    report("Script rule", page, Tarnwick::rewriteScripts);
    report("both", page, both);
    report("both, fed in 16 KB pieces", page, bothInPieces);
    report("Script rule, 16 KB chunks", chunkedPage(page), scriptsChunked);
    for (const char* codings : {"gzip", "br", "zstd"})
        reportDecoded(page, codings);
    const QByteArray varied = variedPage(pageSize);
    std::printf("The page with varied text\n");
    report("both, fed in 16 KB pieces", varied, bothInPieces);
    for (const char* codings : {"gzip", "br", "zstd"})
        reportDecoded(varied, codings);

    const qsizetype n = pageSize;
    QByteArray bodyThenOpenings = "x<zzzzzz>" + QByteArray(n / 2, 'b');
    bodyThenOpenings.append(repeatedTo("<zzzzzz", n - bodyThenOpenings.size()));
    QByteArray sharedClosing = repeatedTo("<zzzzzz", n / 2) + ">";
    sharedClosing.append(QByteArray(n / 2 - 16, 'b'));
    sharedClosing.append("</zzzzzz........");

    struct Case {
        const char* name;
        QByteArray input;
    };
    const Case adversarial[] = {
        {"all \"<\"", QByteArray(n, '<')},
        {"\"<\" then letters", QByteArray(n / 2, '<') + QByteArray(n / 2, 's')},
        {"\"<zzzzzz\" with no \">\"", repeatedTo("<zzzzzz", n)},
        {"\"<zzzzzz>\", body, many openings", bodyThenOpenings},
        {"many openings, one \">\", body, closing", sharedClosing},
        {"\"<\" runs before \"script\" runs", repeatedTo("<", n / 2) + repeatedTo("script", n / 2)},
        {"\"set-cookie:\" with no CR", "x" + repeatedTo("set-cookie:", n - 1)},
        {"Set-Cookie lines, no blank line",
         "HTTP/1.0 200\r\n" + repeatedTo("Set-Cookie: a=1; path=/\r\n", n)},
    };
    std::printf("Adversarial inputs, fast filters (both rules)\n");
    for (const Case& c : adversarial)
        report(c.name, c.input, both);

    std::printf("Reference filters (quadratic) on small inputs\n");
    for (const qsizetype size : {referenceSize / 2, referenceSize}) {
        char name[64];
        std::snprintf(name, sizeof name, "all \"<\", %lld KB", static_cast<long long>(size / 1024));
        const QByteArray lt(size, '<');
        report(name, lt, referenceBoth, 1);
        report("  fast, same input", lt, both);
        std::snprintf(name, sizeof name, "\"<zzzzzz\" with no \">\", %lld KB",
                      static_cast<long long>(size / 1024));
        const QByteArray openings = repeatedTo("<zzzzzz", size);
        report(name, openings, referenceBoth, 1);
        report("  fast, same input", openings, both);
    }
    return 0;
}

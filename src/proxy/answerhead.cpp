#include "proxy/answerhead.h"

#include <QList>

#include <limits>

namespace Tarnwick {

QByteArray trimBlanks(QByteArrayView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == ' ')
        ++begin;
    while (end > begin && text[end - 1] == ' ')
        --end;
    return text.sliced(begin, end - begin).toByteArray();
}

namespace {

// Calls `line(name, value)` for every header line of the block (the status line and
// lines without a colon skipped) until it returns false.
template <typename Visit>
void forEachHeaderLine(QByteArrayView block, Visit line) {
    qsizetype at = block.indexOf("\r\n");
    while (at >= 0) {
        at += 2;
        const qsizetype end = block.indexOf("\r\n", at);
        const QByteArrayView text = block.sliced(at, (end < 0 ? block.size() : end) - at);
        const qsizetype colon = text.indexOf(':');
        if (colon > 0 && !line(text.first(colon), text.sliced(colon + 1)))
            return;
        at = end;
    }
}

} // namespace

std::optional<QByteArray> headerLineValue(QByteArrayView headerBlock, QByteArrayView name) {
    std::optional<QByteArray> found;
    forEachHeaderLine(headerBlock, [&](QByteArrayView lineName, QByteArrayView value) {
        if (lineName != name)
            return true;
        found = trimBlanks(value);
        return false;
    });
    return found;
}

QList<QByteArray> fieldValues(QByteArrayView headerBlock, QByteArrayView name) {
    QList<QByteArray> values;
    forEachHeaderLine(headerBlock, [&](QByteArrayView lineName, QByteArrayView value) {
        if (lineName.trimmed().compare(name, Qt::CaseInsensitive) == 0)
            values.append(value.trimmed().toByteArray());
        return true;
    });
    return values;
}

bool namesHtml(QByteArrayView contentType) {
    return contentType.size() > 4 && contentType.toByteArray().toLower().contains("html");
}

AnswerHead readAnswerHead(const QByteArray& headerBlock) {
    AnswerHead head;
    head.headerBlock = headerBlock;
    // The scan text is the block plus its CR LF CR LF.
    const qsizetype scanLength = headerBlock.size() + 4;
    if (scanLength > 12 &&
        (headerBlock.startsWith("HTTP/1.0") || headerBlock.startsWith("HTTP/1.1")))
        head.statusCode = headerBlock.mid(9, 3);
    head.contentLengthText = headerLineValue(headerBlock, "Content-Length").value_or("0");
    head.contentTypeText = headerLineValue(headerBlock, "Content-Type").value_or(QByteArray());
    for (const QByteArray& type : fieldValues(headerBlock, "content-type"))
        head.html = head.html || namesHtml(type);
    return head;
}

std::optional<qint64> contentLengthValue(QByteArrayView text) {
    if (text.isEmpty() || text.size() > 18)
        return std::nullopt;
    qint64 value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::optional<qint64> announcedSize(const AnswerHead& head) {
    if (head.html || head.contentLengthText == "0")
        return std::nullopt;
    const auto length = contentLengthValue(head.contentLengthText);
    if (!length)
        return std::nullopt;
    return qint64(head.headerBlock.size()) + *length + 4;
}

bool statusHasNoBody(QByteArrayView statusCode) {
    return (statusCode.size() == 3 && statusCode[0] == '1') || statusCode == "204" ||
           statusCode == "304";
}

bool mayLackContentType(QByteArrayView statusCode) {
    return statusCode == "301" || statusCode == "302" || statusCode == "303" ||
           statusCode == "307" || statusCode == "308" || statusHasNoBody(statusCode);
}

bool lacksContentType(const AnswerHead& head, bool noBody) {
    if (noBody || !trimBlanks(head.contentTypeText).isEmpty() || mayLackContentType(head.statusCode))
        return false;
    // A 201 to an upload or an empty 200 to a beacon: nothing to judge a type by.
    const std::optional<QByteArray> length = framingHeader(head.headerBlock, "content-length:");
    return !(length && contentLengthValue(*length) == 0 && !isChunked(head.headerBlock));
}

std::optional<QByteArray> framingHeader(QByteArrayView headerBlock, QByteArrayView name) {
    const QByteArray lower = headerBlock.toByteArray().toLower();
    const QByteArray needle = "\r\n" + name.toByteArray();
    const qsizetype at = lower.indexOf(needle);
    if (at < 0)
        return std::nullopt;
    const qsizetype from = at + needle.size();
    qsizetype end = lower.indexOf("\r\n", from);
    if (end < 0)
        end = lower.size();
    return lower.mid(from, end - from).trimmed();
}

bool isChunked(QByteArrayView headerBlock) {
    const auto codings = framingHeader(headerBlock, "transfer-encoding:");
    return codings && codings->split(',').last().trimmed() == "chunked";
}

QByteArray withoutHeaderLines(const QByteArray& head, std::initializer_list<QByteArrayView> names,
                              QByteArrayView added) {
    QByteArray out;
    out.reserve(head.size() + added.size());
    qsizetype at = 0;
    while (at < head.size()) {
        qsizetype end = head.indexOf("\r\n", at);
        end = end < 0 ? head.size() : end + 2;
        const QByteArrayView line = QByteArrayView(head).sliced(at, end - at);
        if (line == "\r\n") {
            out += added;
            out += QByteArrayView(head).sliced(at);
            return out;
        }
        bool named = false;
        for (const QByteArrayView name : names)
            named = named || (at > 0 && line.size() >= name.size() &&
                              line.first(name.size()).compare(name, Qt::CaseInsensitive) == 0);
        if (!named)
            out += line;
        at = end;
    }
    return out;
}

} // namespace Tarnwick

// A server's answer read by AnswerStream whole against the same answer fed in pieces:
// the same heads in the same order, the same body bytes, the same excess, and the same
// framing, completeness, breakage and counts. The pieces and the excess are always the
// answer's own bytes in order, all of them once the head is done.
// Input: a first byte whose low 4 bits give the number of cuts and whose bit 4 says the
// request was a HEAD, then 2 bytes per cut (an offset, little-endian, modulo the
// answer's length + 1), then the answer.

#include "fuzzsupport.h"
#include "proxy/answerstream.h"

#include <QByteArray>
#include <algorithm>
#include <cstdint>
#include <vector>

using namespace Tarnwick;

namespace {

constexpr size_t MaxLength = 4096;

struct Reading {
    // The heads one by one and the body as one run: how many pieces the body comes in
    // depends on the cuts only.
    std::vector<AnswerStream::Piece> pieces;
    QByteArray excess;
};

Reading read(AnswerStream& stream, QByteArrayView answer, const std::vector<qsizetype>& cuts) {
    Reading out;
    qsizetype from = 0;
    for (const qsizetype cut : cuts) {
        stream.feed(answer.sliced(from, cut - from));
        from = cut;
        for (AnswerStream::Piece& piece : stream.pieces()) {
            if (piece.kind == AnswerStream::Piece::Kind::Body && !out.pieces.empty() &&
                out.pieces.back().kind == AnswerStream::Piece::Kind::Body)
                out.pieces.back().bytes += piece.bytes;
            else
                out.pieces.push_back(std::move(piece));
        }
        stream.pieces().clear();
        out.excess += stream.takeExcess();
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > MaxLength)
        return 0;
    const size_t cutCount = data[0] & 15;
    const bool headRequest = data[0] & 16;
    if (size < 1 + 2 * cutCount)
        return 0;
    const QByteArrayView answer(reinterpret_cast<const char*>(data) + 1 + 2 * cutCount,
                                qsizetype(size - 1 - 2 * cutCount));
    std::vector<qsizetype> cuts;
    for (size_t k = 0; k < cutCount; ++k)
        cuts.push_back((data[1 + 2 * k] | data[2 + 2 * k] << 8) % (answer.size() + 1));
    std::sort(cuts.begin(), cuts.end());
    cuts.push_back(answer.size());

    AnswerStream whole(headRequest);
    const Reading one = read(whole, answer, {answer.size()});
    AnswerStream pieced(headRequest);
    const Reading many = read(pieced, answer, cuts);

    Fuzz::require(one.pieces.size() == many.pieces.size(), "the same number of heads and body");
    for (size_t k = 0; k < one.pieces.size(); ++k)
        Fuzz::require(one.pieces[k].kind == many.pieces[k].kind &&
                          one.pieces[k].bytes == many.pieces[k].bytes,
                      "the same heads and body bytes, in the same order");
    Fuzz::require(one.excess == many.excess, "the same excess bytes");
    Fuzz::require(whole.headDone() == pieced.headDone() && whole.framing() == pieced.framing(),
                  "the same framing");
    Fuzz::require(whole.complete() == pieced.complete(), "the same completeness");
    Fuzz::require(whole.broken() == pieced.broken(), "the same breakage");
    Fuzz::require(whole.received() == pieced.received() && whole.excess() == pieced.excess(),
                  "the same counts received and in excess");
    Fuzz::require(whole.announced() == pieced.announced(), "the same announced size");

    QByteArray joined;
    for (const AnswerStream::Piece& piece : one.pieces)
        joined += piece.bytes;
    joined += one.excess;
    Fuzz::require(answer.startsWith(joined), "the pieces and the excess are the answer in order");
    Fuzz::require(!whole.headDone() || joined.size() == answer.size(),
                  "once the head is done every byte is a piece or excess");
    Fuzz::require(whole.excess() == one.excess.size(), "the excess counted is the excess taken");
    return 0;
}

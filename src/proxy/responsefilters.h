#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <vector>

namespace Tarnwick {

class SettingsStore;

// The HTML rules act only when the content-type text is longer than 4 characters
// and contains "html" (exact case).
bool htmlRulesApply(QByteArrayView contentType);

// Set-Cookie rule: reads "SetCookie" ("○" off, "×" on, anything else: key removed,
// off for this answer) and, when on for an HTML answer, neutralises every
// "set-cookie:" of the header block in place. Never changes the length.
void applySetCookieRule(QByteArray& answer, QByteArrayView contentType, SettingsStore& store);
// Script rule: reads "Script" likewise and rewrites SCRIPT tag names to Z and
// blanks their contents in place. Never changes the length. A chunked answer is
// read as its head followed by its chunks' data, so a script cut by the chunking
// is still found and the chunk-size lines stay as they are.
void applyScriptRule(QByteArray& answer, QByteArrayView contentType, SettingsStore& store,
                     bool chunked = false);

// A stretch of an answer's bytes.
struct ByteSpan {
    qsizetype offset = 0;
    qsizetype length = 0;
    friend bool operator==(const ByteSpan&, const ByteSpan&) = default;
};
// What the Script rule reads of a chunked answer: the head [0, bodyStart), then the
// data of each chunk in order, as far as the framing is whole (a last chunk cut by
// the server's close counts with what arrived).
std::vector<ByteSpan> scriptRuleSpans(QByteArrayView answer, qsizetype bodyStart);
// Rewrites scripts in the spans as if they were one contiguous text.
void rewriteScriptsAcross(char* data, const std::vector<ByteSpan>& spans);

// The two byte transformations themselves, in time linear in the length.
void neutraliseSetCookie(char* data, qsizetype length);
void rewriteScripts(char* data, qsizetype length);

} // namespace Tarnwick

#pragma once

#include "proxy/htmlfilter.h"

#include <QByteArray>
#include <QByteArrayView>

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
// blanks their contents in place; inside tags it renames event handlers and srcdoc
// to Z and overwrites javascript:, vbscript: and script-bearing data: URLs (TagRule).
// Never changes the length. A chunked answer is read as its head followed by its
// chunks' data, so a script cut by the chunking is still found and the chunk-size
// lines stay as they are.
void applyScriptRule(QByteArray& answer, QByteArrayView contentType, SettingsStore& store,
                     bool chunked = false);
// The filter for an answer that streams: reads both switches as the two rules above
// do (a bad value removed), and switches the rules on as they would for this answer.
HtmlFilter htmlFilterFor(QByteArrayView contentType, SettingsStore& store, bool chunked);

// The two byte transformations on a whole text (not chunked), in time linear in the length.
void neutraliseSetCookie(char* data, qsizetype length);
void rewriteScripts(char* data, qsizetype length);

} // namespace Tarnwick

#pragma once

#include "proxy/htmlfilter.h"

#include <QByteArray>
#include <QByteArrayView>

namespace Tarnwick {

class SettingsStore;

// The HTML rules act only on answers whose head names an HTML type (AnswerHead::html):
// `html` below.

// Set-Cookie rule: reads "SetCookie" ("○" off, "×" on, anything else: key removed,
// off for this answer) and, when on for an HTML answer, neutralises every
// "set-cookie:" of the header block in place. Never changes the length.
void applySetCookieRule(QByteArray& answer, bool html, SettingsStore& store);
// Script rule: reads "Script" likewise and rewrites SCRIPT tag names to Z and
// blanks their contents in place; inside tags it renames event handlers and srcdoc
// to Z and overwrites javascript:, vbscript: and script-bearing data: URLs (TagRule).
// Never changes the length. A chunked answer is read as its head followed by its
// chunks' data, so a script cut by the chunking is still found and the chunk-size
// lines stay as they are.
void applyScriptRule(QByteArray& answer, bool html, SettingsStore& store, bool chunked = false);
// The filter for an answer that streams: reads both switches as the two rules above
// do (a bad value removed), and switches the rules on as they would for this answer.
HtmlFilter htmlFilterFor(bool html, SettingsStore& store, bool chunked);

// What the rules add to an HTML answer's head while the Script rule rewrites its body:
// the browser's own guarantee that no script runs, for the forms no byte rule can see.
// A policy of the page's own stays beside it, and the browser enforces both.
inline constexpr QByteArrayView ScriptPolicyLine =
    "Content-Security-Policy: script-src 'none'; object-src 'none'\r\n";

// An answer's head (up to and with its blank line) as the browser gets it: with
// ScriptPolicyLine when `scriptsRewritten`, and without the lines that ask the browser
// for client hints (Accept-CH, Critical-CH, Delegate-CH) when `hideHints` (the
// User-Agent rule hides the browser). The body is never touched.
QByteArray answerHeadForBrowser(const QByteArray& head, bool scriptsRewritten, bool hideHints);

// The two byte transformations on a whole text (not chunked), in time linear in the length.
void neutraliseSetCookie(char* data, qsizetype length);
void rewriteScripts(char* data, qsizetype length);

} // namespace Tarnwick

#pragma once

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
// blanks their contents in place. Never changes the length.
void applyScriptRule(QByteArray& answer, QByteArrayView contentType, SettingsStore& store);

// The two byte transformations themselves, in time linear in the length.
void neutraliseSetCookie(char* data, qsizetype length);
void rewriteScripts(char* data, qsizetype length);

} // namespace Tarnwick

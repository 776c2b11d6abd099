#pragma once

#include <QStringList>

namespace Tarnwick {

// What one step of setting up the desktop did, line by line, in words the user reads
// (tarnwick-settings prints them, the options dialog shows them). `ok` is false when
// any part failed; the lines say which.
struct SetupReport {
    bool ok = true;
    QStringList lines;

    void say(const QString& line) { lines.append(line); }
    void fail(const QString& line) {
        ok = false;
        lines.append(line);
    }
};

// Runs a helper program (gsettings, certutil) with a deadline. False when it could not
// be started, did not finish, or exited other than with 0; `output` gets its standard
// output, `error` its standard error or why it did not run.
bool runTool(const QString& program, const QStringList& arguments, QByteArray* output = nullptr,
             QString* error = nullptr, const QStringList& extraEnvironment = {});

// Writes `bytes` to `path` whole or not at all (a temporary file renamed over it),
// making the folder first. False (with `why`) when it could not.
bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* why = nullptr);

} // namespace Tarnwick

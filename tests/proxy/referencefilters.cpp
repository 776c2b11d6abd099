#include "proxy/referencefilters.h"

namespace Tarnwick::Reference {

namespace {

bool matches(const char* data, qsizetype at, const char* pattern) {
    for (qsizetype i = 0; pattern[i] != '\0'; ++i) {
        unsigned char b = static_cast<unsigned char>(data[at + i]);
        if (b >= 'A' && b <= 'Z')
            b = static_cast<unsigned char>(b - 'A' + 'a');
        if (b != static_cast<unsigned char>(pattern[i]))
            return false;
    }
    return true;
}

} // namespace

void neutraliseSetCookie(char* data, qsizetype length) {
    for (qsizetype p = 1; p <= length - 11; ++p) {
        if (matches(data, p, "set-cookie:")) {
            for (qsizetype i = 0; i < 10; ++i)
                data[p + i] = 'X';
            // No CR at all after the name: the value runs to the end of the buffer.
            qsizetype j = 0;
            while (p + j < length && data[p + j] != '\r')
                ++j;
            const qsizetype e = j - 1;
            for (qsizetype k = 12; k <= e; ++k)
                data[p + k] = 'Y';
        }
        if (matches(data, p, "\r\n\r\n"))
            return;
    }
}

void rewriteScripts(char* data, qsizetype length) {
    for (qsizetype p = 1; p <= length - 7; ++p) {
        if (!matches(data, p, "<"))
            continue;
        for (qsizetype q = p + 1; q <= length - 7; ++q) {
            if (matches(data, q, ">") || matches(data, q, "\"") || matches(data, q, "-")
                || matches(data, q, "_") || matches(data, q, "=")) {
                break;
            }
            if (matches(data, q, "script")) {
                for (qsizetype i = 0; i < 6; ++i)
                    data[q + i] = 'Z';
                break;
            }
            if (matches(data, q, "/script")) {
                for (qsizetype i = 1; i <= 6; ++i)
                    data[q + i] = 'Z';
                break;
            }
        }
    }

    for (qsizetype p = 1; p <= length - 7; ++p) {
        if (!(matches(data, p, "<") && matches(data, p + 1, "zzzzzz")))
            continue;
        qsizetype r = -1;
        for (qsizetype k = p + 7; k <= length - 7; ++k) {
            if (matches(data, k, ">")) {
                r = k;
                break;
            }
        }
        if (r < 0)
            continue;
        for (qsizetype s = r + 1; s <= length - 8; ++s) {
            if (matches(data, s, "</zzzzzz"))
                break;
            data[s] = ' ';
        }
    }
}

} // namespace Tarnwick::Reference

#pragma once

#include <QString>
#include <cstdio>
#include <cstdlib>

namespace Tarnwick {
class SettingsStore;
}

namespace Fuzz {

// A broken invariant ends the run as a finding; libFuzzer keeps the input.
inline void require(bool holds, const char* what) {
    if (holds)
        return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// A private configuration directory, made at the first call and removed at exit:
// XDG_CONFIG_HOME and TMPDIR point at a fresh directory under TARNWICK_FUZZ_TMPDIR,
// else /dev/shm (the store syncs its file to disk at every write), else TMPDIR.
QString privateDirectory();

// The user's store, in the private directory.
Tarnwick::SettingsStore& privateStore();

} // namespace Fuzz

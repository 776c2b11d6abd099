#pragma once

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

// The user's store, in a private configuration directory: XDG_CONFIG_HOME points at a
// fresh directory under TARNWICK_FUZZ_TMPDIR, else /dev/shm (the store syncs its file
// to disk at every write), else TMPDIR. The directory goes at exit.
Tarnwick::SettingsStore& privateStore();

} // namespace Fuzz

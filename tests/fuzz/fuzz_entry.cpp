// The libFuzzer entry of one target, chosen at build time by REELCUT_FUZZ_TARGET.
#include "fuzz/fuzz_targets.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return reelcut::fuzz::REELCUT_FUZZ_TARGET(data, size);
}

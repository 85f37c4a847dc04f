// Fuzz targets over korvex's on-disk parsers and whole runs. Each takes
// arbitrary bytes and must return without crashing, hanging, leaking or
// reading outside a buffer. They are compiled into libFuzzer binaries by
// tests/fuzz/build.sh and into the test suite, which replays the kept
// regression inputs through them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Up to three 1024-byte MFT records laid over records 64 to 66 of the sample
// image; the file of record 64 is printed, named, listed and read.
void Record(const uint8_t* Data, size_t Size);
// A mapping-pairs array as the run list of a non-resident $DATA, read end to
// end.
void RunList(const uint8_t* Data, size_t Size);
// One LZNT1 chunk, and the same bytes as the stored clusters of a compressed
// unit read through a compressed $DATA.
void Lznt1(const uint8_t* Data, size_t Size);
// An index: the first two bytes choose "$I30", "$SII" or "$SDH" and the size
// of the root value that follows; the rest is the first index block. The
// directory is listed, or the security index sought to a key from the input.
void Index(const uint8_t* Data, size_t Size);
// A self-relative security descriptor of Size bytes, printed.
void SecurityDescriptor(const uint8_t* Data, size_t Size);
// Patches (offset, bytes) laid over the sample image in memory, then one of
// the commands runs on it (the second form runs every command); Replay
// replays a mutated volume log.
void WholeRun(const uint8_t* Data, size_t Size);
void WholeRunEveryCommand(const uint8_t* Data, size_t Size);
void Replay(const uint8_t* Data, size_t Size);

} // namespace fuzz

// The carry-less-multiply CRC-32 routines behind crc32Update, and the table routine they
// hand short pieces to. Internal to foundation: only Crc32.cpp and Crc32Fold.cpp include it;
// everyone else calls the functions of Crc32.h. All are safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dovrel::crc32fold {

// The slicing-by-16 table routine (Crc32.cpp). Runs on every CPU.
uint32_t updateTable(uint32_t running, const unsigned char* p, std::size_t length);

// Whether this CPU and its operating system can run the routine below of the same width.
bool cpuHasPclmul128();
bool cpuHasVpclmul512();

// The same running value as updateTable. Precondition: the matching cpuHas... is true (the
// instructions are not checked again, so a call on another CPU stops with an illegal
// instruction). Pieces too short to fold, and the last bytes after the folded body, go to
// updateTable. No byte outside [p, p + length) is read.
uint32_t updatePclmul128(uint32_t running, const unsigned char* p, std::size_t length);
uint32_t updateVpclmul512(uint32_t running, const unsigned char* p, std::size_t length);

}  // namespace dovrel::crc32fold

#ifndef KVBSIGN_FUZZ_SUPPORT_H
#define KVBSIGN_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvfuzz {

// A scratch directory for one fuzzing process, made below $TMPDIR (else /tmp) and removed
// at a normal exit. A crash skips the removal, so the run script points TMPDIR at a
// directory that it removes itself.
const std::string& scratchDir();

// Writes bytes to path (parents made); aborts when the file cannot be written, since a
// target that silently fuzzes a missing file tests nothing.
void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

inline std::string bytes(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// Sets the cryptography library up once per process.
void initCrypto();

// The fixed package of fuzz_fixture.h, made once per process below scratchDir(): its files,
// the listed symbolic link and a placeholder META-INF/signatures.xml. Returns its root.
const std::string& packageDir();

}  // namespace kvfuzz

#endif

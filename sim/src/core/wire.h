// Wire records of the simulated kernel are read and written at explicit
// byte offsets. The simulator never uses the client library's record code,
// so a layout fault on one side shows up as a test failure on the other.
// Each family keeps its records' offsets in its own wire header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zvsim::rec
{

inline uint16_t get16(const void *p, size_t off)
{
	uint16_t v;
	std::memcpy(&v, static_cast<const unsigned char *>(p) + off, sizeof v);
	return v;
}
inline uint32_t get32(const void *p, size_t off)
{
	uint32_t v;
	std::memcpy(&v, static_cast<const unsigned char *>(p) + off, sizeof v);
	return v;
}
inline uint64_t get64(const void *p, size_t off)
{
	uint64_t v;
	std::memcpy(&v, static_cast<const unsigned char *>(p) + off, sizeof v);
	return v;
}
inline void put16(void *p, size_t off, uint16_t v)
{
	std::memcpy(static_cast<unsigned char *>(p) + off, &v, sizeof v);
}
inline void put32(void *p, size_t off, uint32_t v)
{
	std::memcpy(static_cast<unsigned char *>(p) + off, &v, sizeof v);
}
inline void put64(void *p, size_t off, uint64_t v)
{
	std::memcpy(static_cast<unsigned char *>(p) + off, &v, sizeof v);
}

// FID: 16 bytes.
constexpr size_t FID_SIZE = 16, FID_SEQ = 0, FID_OID = 8, FID_VER = 12;

} // namespace zvsim::rec

// Hand-built wire records for the tests: little-endian u32 appends.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace varntest
{

struct Bytes {
	std::vector<unsigned char> b;

	Bytes &u32(uint32_t v)
	{
		for (int i = 0; i < 4; i++)
			b.push_back(static_cast<unsigned char>(v >> (8 * i)));
		return *this;
	}
	Bytes &u64(uint64_t v)
	{
		return u32(static_cast<uint32_t>(v))
		        .u32(static_cast<uint32_t>(v >> 32));
	}
	// One range: lo, hi, stride.
	Bytes &range(uint32_t lo, uint32_t hi, uint32_t stride = 1)
	{
		return u32(lo).u32(hi).u32(stride);
	}
	// Descriptor head: code, address count, net type, net range count.
	Bytes &descr(uint32_t code, uint32_t addrs, uint32_t type,
	             uint32_t nranges)
	{
		return u32(code).u32(addrs).u32(type).u32(nranges);
	}
	Bytes &append(const Bytes &o)
	{
		b.insert(b.end(), o.b.begin(), o.b.end());
		return *this;
	}
	size_t size() const
	{
		return b.size();
	}
};

constexpr uint32_t SRC = 0x00435253, DST = 0x00545344, RTE = 0x00455452;
constexpr uint32_t VERSION = 0x0001000b;

// A reply: the 32-byte record (ioc_len 32) and the descriptors after it.
inline Bytes reply(int32_t idx, uint32_t action, uint32_t prio,
                   const Bytes &descrs, uint64_t bulk_addr = 0xdeadbeef)
{
	Bytes r;
	r.u32(32).u32(VERSION).u32(static_cast<uint32_t>(idx)).u32(action);
	r.u32(static_cast<uint32_t>(descrs.size())).u32(prio).u64(bulk_addr);
	return r.append(descrs);
}

} // namespace varntest

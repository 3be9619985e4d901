// Captured-block record layout: each record is a header, the captured bytes
// of one frame, and padding up to the next 4-byte boundary.
#pragma once

#include <cstddef>
#include <cstdint>

struct bpf_timeval {
  uint32_t tv_sec;   // seconds since 1970-01-01 UTC
  uint32_t tv_usec;  // microseconds
};

struct bpf_hdr {
  bpf_timeval bh_tstamp;
  uint32_t bh_caplen;   // bytes captured
  uint32_t bh_datalen;  // length of the frame on the wire
  uint16_t bh_hdrlen;   // bytes from the header's start to the frame's first byte
};

static_assert(offsetof(bpf_hdr, bh_tstamp) == 0);
static_assert(offsetof(bpf_hdr, bh_caplen) == 8);
static_assert(offsetof(bpf_hdr, bh_datalen) == 12);
static_assert(offsetof(bpf_hdr, bh_hdrlen) == 16);
static_assert(sizeof(bpf_hdr) == 20);

// The fixed fields a reader needs before it may trust bh_hdrlen.
constexpr uint32_t BPF_HDR_MINLEN = 18;

constexpr uint32_t BPF_WORDALIGN(uint32_t x) { return (x + 3) & ~uint32_t(3); }

// One record of a block, checked against the block's end.
struct TBpfRecord {
  const bpf_hdr* Header;  // suitably aligned copy-free view into the block
  const uint8_t* Frame;   // Header + bh_hdrlen
  uint32_t Advance;       // bytes to the next record (0: no valid record here)
};

// Reads the record at Pos with Left bytes of block remaining. A record whose
// header is cut short, whose header length is below the fixed fields, or whose
// captured bytes run past the block is not valid (Advance 0): the rest of the
// block cannot be trusted and is dropped.
TBpfRecord BpfRecordAt(const uint8_t* Pos, uint32_t Left);

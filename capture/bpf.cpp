// Bounds-checked walk over the records of a captured block.
#include "capture/bpf.h"

TBpfRecord BpfRecordAt(const uint8_t* Pos, uint32_t Left) {
  TBpfRecord r{nullptr, nullptr, 0};
  if (Pos == nullptr || Left < BPF_HDR_MINLEN) return r;
  const bpf_hdr* h = reinterpret_cast<const bpf_hdr*>(Pos);
  const uint32_t hdrlen = h->bh_hdrlen;
  const uint32_t caplen = h->bh_caplen;
  if (hdrlen < BPF_HDR_MINLEN || hdrlen > Left || caplen > Left - hdrlen) return r;
  r.Header = h;
  r.Frame = Pos + hdrlen;
  // The padding after the last record may be missing at the block's end.
  const uint32_t adv = BPF_WORDALIGN(hdrlen + caplen);
  r.Advance = adv < Left ? adv : Left;
  return r;
}

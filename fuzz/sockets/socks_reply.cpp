// SOCKS server replies: whatever a server sends, the parsers never read past
// what arrived, ask for more only while the reply can still complete, and give
// the same answer when the bytes arrive one at a time.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sockets/SocksProtocol.h"

namespace {
using Parser = TSocksReply (*)(const uint8_t*, int);

void Check(Parser parse, const uint8_t* data, int size) {
  // A copy of exactly the arrived bytes, so that reading past them is caught.
  std::vector<uint8_t> copy(data, data + size);
  TSocksReply whole = parse(copy.data(), size);
  if (whole.Status == TSocksStatus::Done &&
      (whole.Consumed < 2 || whole.Consumed > size || whole.Consumed > SOCKS_MAX_REPLY))
    std::abort();
  if (whole.Status == TSocksStatus::Failed && (whole.ErrCode < 20001 || whole.ErrCode > 20016 || whole.ErrMsg.empty()))
    std::abort();
  if (whole.Status == TSocksStatus::NeedMore && size > SOCKS_MAX_REPLY) std::abort();
  // Byte by byte: the first prefix that decides gives the same decision.
  for (int n = 0; n <= size; ++n) {
    std::vector<uint8_t> prefix(data, data + n);
    TSocksReply part = parse(prefix.data(), n);
    if (part.Status == TSocksStatus::NeedMore) continue;
    if (whole.Status == TSocksStatus::NeedMore) std::abort();
    if (part.Status == TSocksStatus::Done && whole.Status == TSocksStatus::Done && part.Consumed != whole.Consumed)
      std::abort();
    break;
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const Parser parsers[] = {SocksParseMethodReply, SocksParseAuthReply, SocksParseReply4, SocksParseReply5};
  const int n = static_cast<int>(std::min<size_t>(size - 1, 600));
  Check(parsers[data[0] % 4], data + 1, n);
  return 0;
}

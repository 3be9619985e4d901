// Remote capture server replies, fed in two reads at a split point taken from
// the first byte: the parser must keep its lists and selections consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/RemoteControl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  const std::string Text(reinterpret_cast<const char*>(Data) + 1, Size - 1);
  const std::size_t Cut = Text.empty() ? 0 : Data[0] % (Text.size() + 1);
  TReplyParser Parser;
  TRemoteLists Lists;
  Lists.Status = {"---", "---", "---"};
  Lists.TargetSel = Data[0] % 4 == 3 ? -1 : Data[0] % 3;
  std::vector<std::string> Log;
  Parser.Parse(Text.substr(0, Cut), Lists, Log);
  Parser.Parse(Text.substr(Cut), Lists, Log);
  if (Lists.AdapterSel >= int(Lists.Adapters.size()) || Lists.IPSel >= int(Lists.IPs.size()) ||
      Lists.Status.size() != 3)
    std::abort();
  return 0;
}

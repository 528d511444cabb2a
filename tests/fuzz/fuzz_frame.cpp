// libFuzzer target: gateway frames, one per line of the input, parsed and
// applied by the event rules in turn, into the process's cache.  Checks
// that a refused frame or event changes no count, and that the counts the
// maps keep as they change agree with a walk of them after every input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/json.hpp"
#include "records/json_source.hpp"
#include "registry/gateway.hpp"
#include "registry/registry.hpp"

using namespace tarnwick;

namespace {

class CountingHost final : public wire::Host {
 public:
  void skipped(wire::PayloadFault&&) override { ++count; }
  std::size_t count = 0;
};

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_frame: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::size_t inputs = 0;
  if (inputs++ % 2000 == 0) {  // keep the cache small, so each input stays quick
    clear_registry();
    set_message_limit(200);
  }
  const char* p = reinterpret_cast<const char*>(data);
  const char* end = p + size;
  while (p < end) {
    const char* line_end = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (line_end == nullptr) line_end = end;
    json::Document::Result parsed = json::local_document().parse(p, static_cast<std::size_t>(line_end - p));
    p = line_end + 1;
    if (!parsed.root) continue;
    const RegistryStats before = registry_stats();
    CountingHost host;
    wire::JsonSource src;
    wire::Gateway<wire::JsonSource> gateway(src, host);
    try {
      gateway.frame(*parsed.root);
    } catch (const wire::PayloadFault& fault) {
      check(registry_stats() == before, "a refused frame changed the cache");
      check(fault.reason.size() != 0, "a fault without a reason");
    }
  }
  check(registry_stats() == walked_registry_stats(), "the kept counts disagree with a walk");
  return 0;
}

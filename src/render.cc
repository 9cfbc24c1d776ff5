#include "render.h"

namespace brimful {

// Placeholder until the text report lands: only the target line.
std::string render_text(const Evidence& evidence, const Diagnosis&, bool) {
  return "Target: " + lossy_utf8(evidence.target);
}
std::string grouped_number(std::uint64_t value) { return std::to_string(value); }
std::string human_size(std::uint64_t bytes) { return std::to_string(bytes) + " B"; }

}  // namespace brimful

#include "finding_rule.h"

#include <utility>

#include "text.h"

namespace brimful {

Finding finding(const char* kind, std::string summary, std::string remedy) {
  return Finding{kind, std::move(summary), std::move(remedy)};
}

std::string where(const Evidence& evidence) {
  return lossy_utf8(evidence.mount ? evidence.mount->mount_point : evidence.target);
}

}  // namespace brimful

#include "process_view.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace brimful {
namespace {

TEST(ProcessView, ProcessIdsAreDecimalDigitsOnly) {
  const std::pair<const char*, std::optional<std::uint32_t>> cases[] = {
      {"1", 1u},           {"4194304", 4194304u}, {"2147483647", 2147483647u}, {"007", 7u},
      {"0", std::nullopt}, {"", std::nullopt},    {"+5", std::nullopt},        {"-5", std::nullopt},
      {" 5", std::nullopt}, {"5 ", std::nullopt}, {"0x10", std::nullopt},      {"2147483648", std::nullopt},
  };
  for (const auto& [text, pid] : cases) EXPECT_EQ(parse_process_id(text), pid) << text;
}

TEST(ProcessView, AProcessThatIsGoneIsNamed) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  // Reaped, so /proc no longer has it (unless the number is reused at once).
  const Result<ProcessView> view = enter_process_view(static_cast<std::uint32_t>(child), "/");
  ASSERT_FALSE(view.ok());
  EXPECT_EQ(view.error(), "no process " + std::to_string(child));
}

}  // namespace
}  // namespace brimful

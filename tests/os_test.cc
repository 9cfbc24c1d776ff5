#include "os.h"

#include <gtest/gtest.h>

#include <string>

namespace brimful {
namespace {

TEST(SharedErrors, OsErrorTextCarriesTheNumber) {
  EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(20), "Not a directory (os error 20)");
}

}  // namespace
}  // namespace brimful

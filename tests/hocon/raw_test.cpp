#include <gtest/gtest.h>

#include "hocon/config.hpp"
#include "hocon/error.hpp"
#include "hocon/options.hpp"
#include "hocon/parser.hpp"
#include "hocon/raw.hpp"
#include "hocon/value.hpp"

namespace hocon {
namespace {

TEST(RawValue, CopyIsDeep) {
    RawValue inner = RawValue::object({{RawString::unquoted("a"), RawValue::number("1")}});
    RawValue outer = RawValue::append(RawValue::array({inner}));
    RawValue copy = outer;
    copy.as_append()->value->as_array()->front().as_object()->fields.clear();
    EXPECT_NE(copy, outer);
    EXPECT_EQ(outer.as_append()->value->as_array()->front(), inner);
}

}  // namespace
}  // namespace hocon

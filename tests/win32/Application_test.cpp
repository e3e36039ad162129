// The error box's text: a full stop is added only after a character that sorts above it.
#include <gtest/gtest.h>

#include <utility>

#include "platform/win32/Application.h"

namespace mf::win32 {
namespace {

TEST(ErrorBoxText, FullStopOnlyAfterACharacterAboveIt) {
    for (const auto& [message, shown] :
         {std::pair<Text, Text>{u"Failed to create key A", u"Failed to create key A."},
          {u"Ends in a digit 7", u"Ends in a digit 7."},
          {u"Ends in a stop.", u"Ends in a stop."},
          {u"Failed to set data for ''", u"Failed to set data for ''"},
          {u"Ends in a dash-", u"Ends in a dash-"},
          {u"/", u"/."},
          {u"", u""}}) {
        EXPECT_EQ(ErrorBoxText(message), shown) << std::string(message.begin(), message.end());
    }
}

}  // namespace
}  // namespace mf::win32

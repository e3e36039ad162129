// The general error type: carries one message as UTF-16 text, which is what the error box
// shows. what() gives the same message in UTF-8.
#pragma once

#include <exception>
#include <string>

#include "shared/text.h"

namespace mf {

class Exception : public std::exception {
  public:
    explicit Exception(Text message) : message_(std::move(message)), utf8_(ToUtf8(message_)) {}
    const Text& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return utf8_.c_str(); }

  private:
    Text message_;
    std::string utf8_;
};

// Replaces the first "%s" in `format` with `argument`, taken literally.
Text FormatText(TextView format, TextView argument);

}  // namespace mf

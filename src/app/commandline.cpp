#include "app/commandline.h"

namespace mf {

namespace {

constexpr char16_t kQuote = u'"';

class Cursor {
  public:
    explicit Cursor(TextView text) : text_(text) {}
    // A NUL, in the text or past its end, ends the line.
    char16_t Peek(std::size_t ahead = 0) const {
        return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : u'\0';
    }
    void Advance(std::size_t count = 1) { pos_ += count; }
    std::size_t Position() const { return pos_; }
    TextView Slice(std::size_t from, std::size_t to) const { return text_.substr(from, to - from); }

  private:
    TextView text_;
    std::size_t pos_ = 0;
};

// One token; empty when the line has nothing more to give.
Text NextToken(Cursor& cursor) {
    for (;;) {
        while (cursor.Peek() != u'\0' && cursor.Peek() <= u' ') {
            cursor.Advance();
        }
        if (cursor.Peek() == kQuote && cursor.Peek(1) == kQuote) {
            cursor.Advance(2);
        } else {
            break;
        }
    }
    Text token;
    while (cursor.Peek() > u' ') {
        if (cursor.Peek() == kQuote) {
            cursor.Advance();
            const std::size_t start = cursor.Position();
            while (cursor.Peek() != u'\0' && cursor.Peek() != kQuote) {
                cursor.Advance();
            }
            token.append(cursor.Slice(start, cursor.Position()));
            if (cursor.Peek() == kQuote) {
                cursor.Advance();
            }
        } else {
            const std::size_t start = cursor.Position();
            while (cursor.Peek() > u' ' && cursor.Peek() != kQuote) {
                cursor.Advance();
            }
            token.append(cursor.Slice(start, cursor.Position()));
        }
    }
    return token;
}

}  // namespace

std::vector<Text> SplitCommandLine(TextView commandLine) {
    Cursor cursor(commandLine);
    NextToken(cursor);  // the program name
    std::vector<Text> arguments;
    for (Text token = NextToken(cursor); !token.empty(); token = NextToken(cursor)) {
        arguments.push_back(std::move(token));
    }
    return arguments;
}

}  // namespace mf

#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace protocol {

// Splits a byte stream into lines. A line ends at LF; a CR right before the LF is part of the
// terminator, any other CR stays in the line; at end of input the unterminated rest is a line.
// A line longer than the limit is reported as over-long once its terminator (or the end of
// input) arrives; at most the limit's worth of any line is ever held, the rest is skipped.
class LineFramer {
public:
    enum class Found { line, nothing, overLong };

    // Every line handed out is followed by at least `padding` readable bytes, provided every fed
    // chunk is, so a parser that reads ahead can take it in place.
    LineFramer(std::size_t maxLineBytes, std::size_t padding);

    // Hands over the next chunk of input; only once next() has returned nothing for the last one.
    // The chunk must stay valid until then.
    void feed(std::string_view chunk);
    // The next complete line of the input fed so far, without its terminator; nothing when more
    // input is needed. A line stays valid until the next call.
    Found next(std::string_view& line);
    // At end of input: the last, unterminated line if there is one.
    Found finish(std::string_view& line);

private:
    bool keep(std::string_view bytes);

    const std::size_t maxLineBytes_;
    std::string_view rest_;
    // The start of a line split across chunks. One byte beyond the limit is kept so that a CR of
    // a CR LF terminator is not yet counted against it.
    std::unique_ptr<char[]> carry_;
    std::size_t carried_ = 0;
    bool skipping_ = false;  // inside an over-long line, waiting for its end
};

}  // namespace protocol

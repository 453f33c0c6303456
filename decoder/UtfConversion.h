// Text conversion between the host's UTF-16 and the UTF-8 used inside the library. Both
// directions are strict: a text that is not well-formed (a lone surrogate, an overlong or
// truncated UTF-8 sequence) fails as a whole with std::range_error; nothing is replaced or skipped.
#pragma once

#include <rapidjson/encodings.h>
#include <rapidjson/stringbuffer.h>

#include <stdexcept>
#include <string>
#include <type_traits>

namespace utfconversion {

template <typename Unit>
struct EncodingOf;
template <>
struct EncodingOf<char> {
    using type = rapidjson::UTF8<char>;
};
template <>
struct EncodingOf<char16_t> {
    using type = rapidjson::UTF16<char16_t>;
};

// An input stream over a string that reads 0 at and past its end: a sequence truncated by the end
// of the text is then rejected without reading beyond it.
template <typename Unit>
class BoundedStream {
  public:
    using Ch = Unit;
    explicit BoundedStream(const std::basic_string<Unit>& text)
        : next_(text.data()), end_(text.data() + text.size()) {}
    Ch Peek() const { return next_ < end_ ? *next_ : Ch(0); }
    Ch Take() { return next_ < end_ ? *next_++ : Ch(0); }

  private:
    const Unit* next_;
    const Unit* end_;
};

// Converts up to the first 0 unit, as for a zero-terminated host text.
template <typename From, typename To>
std::basic_string<To> transcode(const std::basic_string<From>& text) {
    if constexpr (std::is_same_v<From, To>) {
        return text;
    } else {
        using Source = typename EncodingOf<From>::type;
        using Target = typename EncodingOf<To>::type;
        BoundedStream<From> input(text);
        rapidjson::GenericStringBuffer<Target> output;
        while (input.Peek() != From(0)) {
            if (!rapidjson::Transcoder<Source, Target>::Transcode(input, output)) {
                throw std::range_error("text is not well-formed Unicode");
            }
        }
        return std::basic_string<To>(output.GetString(), output.GetSize() / sizeof(To));
    }
}

}  // namespace utfconversion

// UTF-16 (or UTF-8) to UTF-8.
template <typename From, typename To>
std::basic_string<To> convertUTFFormatVto8(const std::basic_string<From>& text) {
    static_assert(sizeof(To) == 1, "converts to UTF-8");
    return utfconversion::transcode<From, To>(text);
}

// UTF-8 to UTF-16 (or UTF-8).
template <typename From, typename To>
std::basic_string<To> convertUTFFormat8toV(const std::basic_string<From>& text) {
    static_assert(sizeof(From) == 1, "converts from UTF-8");
    return utfconversion::transcode<From, To>(text);
}

// Checks the wide printf-style formats of the logging framework against the
// secure printer (_vsnwprintf_s) and against their arguments.
//
// The same parser runs at compile time, where ETWLOGGING_LOG (LogMacro.h)
// refuses a literal format whose conversions do not match its arguments in
// number or kind, and at run time, where the facade's Log logs a format that
// the printer would refuse as a marker instead of handing it to the printer
// (on Windows the printer's invalid-parameter handler ends the process).
//
// The grammar is the part that every runtime the framework is built with
// accepts (Visual C++'s and msvcrt.dll's): %[flags][width][.precision][size]type
// with flags "-+ 0#", a width and precision of digits or "*", the sizes
// hh h l ll L w I I32 I64 j z t, and the types
//   d i o u x X   an integer of the size's width: none, hh and h take an int;
//                 l, I32 a 32-bit and ll, I64 a 64-bit integer; I, z, t and j
//                 one the width of size_t, ptrdiff_t and intmax_t. Any integer
//                 type (or enumeration) of that width passes; its sign is not
//                 checked.
//   c C           a character, passed as an int
//   s             a wide string (wchar_t*), as Windows has it; %hs a narrow one
//                 (char*); %ls and %ws wide. %S is narrow, %lS and %wS wide.
//   e E f g G a A a double (or float); L only where long double is a double
//   p             any pointer
//   %%            a "%"
// and nothing else: no "%n" (the secure printer refuses it), no "%F" or "%Z"
// (msvcrt.dll has neither), no positions ("%1$s"), no "%" at the end.
//
// Everything here is constexpr, thread-safe and allocation-free.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <type_traits>

namespace ETWLogging {

// Why a format and its arguments do not go together.
enum class FormatError {
    kNone,
    kFormatNotWide,         // a narrow format: the framework's formats are L"..."
    kIncompleteConversion,  // "%" at the end of the format
    kPositionalArgument,    // "%1$s": the printer takes its arguments in order only
    kUnknownConversion,     // "%y", "%F", "%Z", "%5%"
    kConversionN,           // "%n": the secure printer refuses it
    kSizeNotForConversion,  // a size that does not go with its type: "%hf", "%lp", "%Ld"
    kTooFewArguments,       // a conversion (or a "*") without its argument
    kTooManyArguments,      // an argument without a conversion
    kWideStringExpected,    // %s, %ls, %ws, %lS: a wchar_t pointer
    kNarrowStringExpected,  // %hs, %S, %hS: a char pointer
    kIntegerExpected,       // d i o u x X c C and "*": an integer
    kIntegerSizeMismatch,   // an integer of another width than the conversion's
    kFloatingExpected,      // e E f g G a A: a double or float
    kPointerExpected,       // p: a pointer
};

namespace internal {

// What one conversion takes from the argument list.
enum class ValueKind { kInteger, kFloating, kWideString, kNarrowString, kPointer };

struct Conversion {
    bool starWidth = false;      // "*": an int before the value
    bool starPrecision = false;  // ".*": another int before the value
    ValueKind value = ValueKind::kInteger;
    size_t integerBytes = sizeof(int);  // the width of a kInteger value
};

// The result of reading one piece of a format.
enum class Piece { kEnd, kText, kConversion, kError };

enum class Size { kNone, kH, kHH, kL, kLL, kBigL, kW, kI, kI32, kI64, kJ, kZ, kT };

constexpr bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

constexpr bool IsFlag(wchar_t c) {
    return c == L'-' || c == L'+' || c == L' ' || c == L'0' || c == L'#';
}

constexpr Size ReadSize(const wchar_t* format, size_t& i) {
    switch (format[i]) {
        case L'h':
            ++i;
            if (format[i] != L'h') return Size::kH;
            ++i;
            return Size::kHH;
        case L'l':
            ++i;
            if (format[i] != L'l') return Size::kL;
            ++i;
            return Size::kLL;
        case L'I':
            ++i;
            if (format[i] == L'6' && format[i + 1] == L'4') {
                i += 2;
                return Size::kI64;
            }
            if (format[i] == L'3' && format[i + 1] == L'2') {
                i += 2;
                return Size::kI32;
            }
            return Size::kI;
        case L'L':
            ++i;
            return Size::kBigL;
        case L'w':
            ++i;
            return Size::kW;
        case L'j':
            ++i;
            return Size::kJ;
        case L'z':
            ++i;
            return Size::kZ;
        case L't':
            ++i;
            return Size::kT;
        default:
            return Size::kNone;
    }
}

// The width of an integer conversion of `size`; 0 when the size is not one.
constexpr size_t IntegerBytes(Size size) {
    switch (size) {
        case Size::kNone:
        case Size::kH:
        case Size::kHH:
            return sizeof(int);
        case Size::kL:
            return sizeof(long);
        case Size::kI32:
            return 4;
        case Size::kLL:
        case Size::kI64:
            return 8;
        case Size::kI:
        case Size::kZ:
            return sizeof(size_t);
        case Size::kT:
            return sizeof(ptrdiff_t);
        case Size::kJ:
            return sizeof(intmax_t);
        default:
            return 0;
    }
}

// The value a conversion of `type` with `size` takes, or the error.
constexpr FormatError ConversionValue(wchar_t type, Size size, Conversion& conversion) {
    const bool characterSize =
        size == Size::kNone || size == Size::kH || size == Size::kL || size == Size::kW;
    switch (type) {
        case L'd':
        case L'i':
        case L'o':
        case L'u':
        case L'x':
        case L'X':
            conversion.value = ValueKind::kInteger;
            conversion.integerBytes = IntegerBytes(size);
            return conversion.integerBytes != 0 ? FormatError::kNone
                                                : FormatError::kSizeNotForConversion;
        case L'c':
        case L'C':
            conversion.value = ValueKind::kInteger;
            conversion.integerBytes = sizeof(int);
            return characterSize ? FormatError::kNone : FormatError::kSizeNotForConversion;
        case L's':
            conversion.value = size == Size::kH ? ValueKind::kNarrowString : ValueKind::kWideString;
            return characterSize ? FormatError::kNone : FormatError::kSizeNotForConversion;
        case L'S':
            conversion.value = size == Size::kL || size == Size::kW ? ValueKind::kWideString
                                                                    : ValueKind::kNarrowString;
            return characterSize ? FormatError::kNone : FormatError::kSizeNotForConversion;
        case L'e':
        case L'E':
        case L'f':
        case L'g':
        case L'G':
        case L'a':
        case L'A':
            conversion.value = ValueKind::kFloating;
            return size == Size::kNone || size == Size::kL || size == Size::kBigL
                       ? FormatError::kNone
                       : FormatError::kSizeNotForConversion;
        case L'p':
            conversion.value = ValueKind::kPointer;
            return size == Size::kNone ? FormatError::kNone : FormatError::kSizeNotForConversion;
        case L'n':
            return FormatError::kConversionN;
        case L'\0':
            return FormatError::kIncompleteConversion;
        default:
            return FormatError::kUnknownConversion;
    }
}

// Reads the piece of `format` at `i`: plain text (with "%%"), one conversion,
// the end, or an error (in `error`). `i` moves past what was read.
constexpr Piece NextPiece(const wchar_t* format, size_t& i, Conversion& conversion,
                          FormatError& error) {
    if (format[i] == L'\0') return Piece::kEnd;
    if (format[i] != L'%') {
        while (format[i] != L'\0' && format[i] != L'%') ++i;
        return Piece::kText;
    }
    ++i;
    if (format[i] == L'%') {
        ++i;
        return Piece::kText;
    }
    conversion = Conversion();
    while (IsFlag(format[i])) ++i;
    if (format[i] == L'*') {
        conversion.starWidth = true;
        ++i;
    } else if (IsDigit(format[i])) {
        while (IsDigit(format[i])) ++i;
        if (format[i] == L'$') {
            error = FormatError::kPositionalArgument;
            return Piece::kError;
        }
    }
    if (format[i] == L'.') {
        ++i;
        if (format[i] == L'*') {
            conversion.starPrecision = true;
            ++i;
        } else {
            while (IsDigit(format[i])) ++i;
        }
    }
    const Size size = ReadSize(format, i);
    error = ConversionValue(format[i], size, conversion);
    if (error != FormatError::kNone) return Piece::kError;
    ++i;
    return Piece::kConversion;
}

// How an argument of a given type reaches the printer.
enum class ArgumentKind { kOther, kInteger, kFloating, kLongDouble, kWide, kNarrow, kPointer };

struct Argument {
    ArgumentKind kind = ArgumentKind::kOther;
    size_t bytes = 0;  // an integer's width after promotion
};

template <typename T>
constexpr Argument ArgumentOf() {
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_same<U, decltype(nullptr)>::value) {
        return {ArgumentKind::kPointer, sizeof(void*)};
    } else if constexpr (std::is_pointer<U>::value) {
        using Pointee = std::remove_cv_t<std::remove_pointer_t<U>>;
        if constexpr (std::is_same<Pointee, wchar_t>::value) {
            return {ArgumentKind::kWide, sizeof(void*)};
        } else if constexpr (std::is_same<Pointee, char>::value) {
            return {ArgumentKind::kNarrow, sizeof(void*)};
        } else {
            return {ArgumentKind::kPointer, sizeof(void*)};
        }
    } else if constexpr (std::is_integral<U>::value || std::is_enum<U>::value) {
        // Integers narrower than int arrive as an int.
        return {ArgumentKind::kInteger, sizeof(U) < sizeof(int) ? sizeof(int) : sizeof(U)};
    } else if constexpr (std::is_floating_point<U>::value) {
        // A float arrives as a double; a long double wider than a double is
        // read wrongly by msvcrt.dll, whatever its size letter.
        return {sizeof(U) > sizeof(double) ? ArgumentKind::kLongDouble : ArgumentKind::kFloating,
                sizeof(U)};
    } else {
        return {};  // class objects, arrays of other types: nothing the printer takes
    }
}

constexpr FormatError MatchInteger(const Argument& argument, size_t bytes) {
    if (argument.kind != ArgumentKind::kInteger) return FormatError::kIntegerExpected;
    return argument.bytes == bytes ? FormatError::kNone : FormatError::kIntegerSizeMismatch;
}

constexpr FormatError MatchValue(const Conversion& conversion, const Argument& argument) {
    switch (conversion.value) {
        case ValueKind::kInteger:
            return MatchInteger(argument, conversion.integerBytes);
        case ValueKind::kFloating:
            return argument.kind == ArgumentKind::kFloating ? FormatError::kNone
                                                            : FormatError::kFloatingExpected;
        case ValueKind::kWideString:
            return argument.kind == ArgumentKind::kWide ? FormatError::kNone
                                                        : FormatError::kWideStringExpected;
        case ValueKind::kNarrowString:
            return argument.kind == ArgumentKind::kNarrow ? FormatError::kNone
                                                          : FormatError::kNarrowStringExpected;
        case ValueKind::kPointer:
            return argument.kind == ArgumentKind::kPointer ||
                           argument.kind == ArgumentKind::kWide ||
                           argument.kind == ArgumentKind::kNarrow
                       ? FormatError::kNone
                       : FormatError::kPointerExpected;
    }
    return FormatError::kNone;
}

// The verdict on a format and its arguments; `argument` counts from 1 after
// the format and names the one that fails (0 when none does).
struct FormatVerdict {
    FormatError error = FormatError::kNone;
    size_t argument = 0;
};

// Checks `format` against `count` arguments (`arguments`, or none for a format
// checked alone, whose conversions then take anything).
constexpr FormatVerdict CheckFormat(const wchar_t* format, const Argument* arguments,
                                    size_t count) {
    size_t i = 0;
    size_t next = 0;
    for (;;) {
        Conversion conversion;
        FormatError error = FormatError::kNone;
        const Piece piece = NextPiece(format, i, conversion, error);
        if (piece == Piece::kEnd) break;
        if (piece == Piece::kError) return {error, next + 1};
        if (piece == Piece::kText || arguments == nullptr) continue;
        // "*" widths and precisions take an int each, before the value.
        const int stars = (conversion.starWidth ? 1 : 0) + (conversion.starPrecision ? 1 : 0);
        for (int star = 0; star < stars; ++star, ++next) {
            if (next >= count) return {FormatError::kTooFewArguments, next + 1};
            const FormatError starError = MatchInteger(arguments[next], sizeof(int));
            if (starError != FormatError::kNone) return {starError, next + 1};
        }
        if (next >= count) return {FormatError::kTooFewArguments, next + 1};
        const FormatError valueError = MatchValue(conversion, arguments[next]);
        if (valueError != FormatError::kNone) return {valueError, next + 1};
        ++next;
    }
    if (arguments != nullptr && next < count) return {FormatError::kTooManyArguments, next + 1};
    return {};
}

template <typename... Args>
constexpr FormatVerdict CheckFormatArguments(const wchar_t* format) {
    // One more than needed, so that a format without arguments has an array too.
    constexpr Argument kArguments[sizeof...(Args) + 1] = {ArgumentOf<Args>()..., Argument()};
    return CheckFormat(format, kArguments, sizeof...(Args));
}

// The argument types of a macro's variable arguments, the format first, as an
// unevaluated call gives them: arrays as pointers, without const.
template <typename... T>
struct TypeList {};

template <typename... T>
TypeList<std::decay_t<T>...> ArgumentTypes(const T&...);

template <typename List>
struct FormatChecker;

template <typename Format, typename... Args>
struct FormatChecker<TypeList<Format, Args...>> {
    static constexpr FormatVerdict Check(const wchar_t* format) {
        return CheckFormatArguments<Args...>(format);
    }
    static constexpr FormatVerdict Check(const char*) { return {FormatError::kFormatNotWide, 0}; }
};

// Fails to compile, with the reason, unless kError is kNone. kArgument is the
// offending argument, counted from 1 after the format.
template <FormatError kError, size_t kArgument>
struct CheckedFormat {
    static_assert(kError != FormatError::kFormatNotWide,
                  "ETWLogging: the format must be a wide literal, L\"...\"");
    static_assert(kError != FormatError::kIncompleteConversion,
                  "ETWLogging: the format ends in the middle of a conversion; write %% for a %");
    static_assert(kError != FormatError::kPositionalArgument,
                  "ETWLogging: positional conversions (%1$s) are not printed");
    static_assert(kError != FormatError::kUnknownConversion,
                  "ETWLogging: a conversion the printer refuses (see logging/FormatCheck.h)");
    static_assert(kError != FormatError::kConversionN,
                  "ETWLogging: %n is refused by the secure printer");
    static_assert(kError != FormatError::kSizeNotForConversion,
                  "ETWLogging: a size letter that does not go with its conversion");
    static_assert(kError != FormatError::kTooFewArguments,
                  "ETWLogging: the format has more conversions than arguments");
    static_assert(kError != FormatError::kTooManyArguments,
                  "ETWLogging: the format has fewer conversions than arguments");
    static_assert(kError != FormatError::kWideStringExpected,
                  "ETWLogging: %s, %ls and %ws take a wide string (const wchar_t*); "
                  "use %hs for a char*, .c_str() for a std::wstring");
    static_assert(kError != FormatError::kNarrowStringExpected,
                  "ETWLogging: %hs and %S take a narrow string (const char*)");
    static_assert(kError != FormatError::kIntegerExpected,
                  "ETWLogging: this conversion (or its *) takes an integer");
    static_assert(kError != FormatError::kIntegerSizeMismatch,
                  "ETWLogging: the integer is not of the conversion's width: %d, %u, %x take "
                  "32 bits, %lld, %I64d 64 bits, %zu, %Iu the width of size_t");
    static_assert(kError != FormatError::kFloatingExpected,
                  "ETWLogging: %e, %f, %g, %a take a double");
    static_assert(kError != FormatError::kPointerExpected, "ETWLogging: %p takes a pointer");
    static constexpr bool kAccepted = kError == FormatError::kNone;
};

}  // namespace internal

// A message whose format the printer would refuse is logged as this marker
// followed by the format's text.
constexpr wchar_t kUnprintableFormatMarker[] = L"[unprintable format] ";

// Whether the printer takes `format` (not none): every conversion in it is
// one of the grammar above. Its arguments cannot be checked here.
constexpr bool IsPrintableFormat(const wchar_t* format) {
    return internal::CheckFormat(format, nullptr, 0).error == FormatError::kNone;
}

}  // namespace ETWLogging

// Compiles to nothing, or fails to compile when the first of the variable
// arguments, a literal format, does not match the others. The expansion
// through ETWLOGGING_INTERNAL_EXPAND splits the arguments on every
// preprocessor, Visual C++'s traditional one included.
#define ETWLOGGING_INTERNAL_EXPAND(x) x
#define ETWLOGGING_INTERNAL_FIRST_(first, ...) first
#define ETWLOGGING_INTERNAL_FIRST(...) \
    ETWLOGGING_INTERNAL_EXPAND(ETWLOGGING_INTERNAL_FIRST_(__VA_ARGS__, ~))
#define ETWLOGGING_INTERNAL_VERDICT(...)                                                  \
    ::ETWLogging::internal::FormatChecker<decltype(::ETWLogging::internal::ArgumentTypes( \
        __VA_ARGS__))>::Check(ETWLOGGING_INTERNAL_FIRST(__VA_ARGS__))
#define ETWLOGGING_CHECK_FORMAT(...)                                  \
    static_cast<void>(::ETWLogging::internal::CheckedFormat<          \
                      ETWLOGGING_INTERNAL_VERDICT(__VA_ARGS__).error, \
                      ETWLOGGING_INTERNAL_VERDICT(__VA_ARGS__).argument>::kAccepted)

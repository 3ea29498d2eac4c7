#include "windows1252_oracle.h"

#include <QList>

#include <array>
#include <cerrno>
#include <iconv.h>

namespace kestavo::drills {
namespace {

// glibc leaves these five bytes unmapped; Windows passes them through as the
// C1 control of the same value, and so must the window.
constexpr std::array<char32_t, 5> kPassThrough = {0x81, 0x8D, 0x8F, 0x90, 0x9D};

class Converter
{
public:
    Converter() : m_cd(iconv_open("WINDOWS-1252", "UTF-32LE")) {}
    ~Converter()
    {
        if (m_cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(m_cd);
    }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;

    std::optional<char> byteFor(char32_t c)
    {
        if (m_cd == reinterpret_cast<iconv_t>(-1))
            qFatal("iconv has no WINDOWS-1252");
        for (char32_t passed : kPassThrough) {
            if (c == passed)
                return static_cast<char>(c);
        }
        const unsigned char in[4] = {static_cast<unsigned char>(c), static_cast<unsigned char>(c >> 8),
                                     static_cast<unsigned char>(c >> 16), static_cast<unsigned char>(c >> 24)};
        char out[8];
        char *inPtr = const_cast<char *>(reinterpret_cast<const char *>(in));
        char *outPtr = out;
        size_t inLeft = sizeof in;
        size_t outLeft = sizeof out;
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(m_cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1))
            return std::nullopt;
        if (outPtr - out != 1)
            return std::nullopt;
        return out[0];
    }

private:
    iconv_t m_cd;
};

} // namespace

std::optional<QByteArray> windows1252Oracle(const QString &text)
{
    static thread_local Converter converter;
    QByteArray bytes;
    for (char32_t c : text.toUcs4()) {
        const auto byte = converter.byteFor(c);
        if (!byte)
            return std::nullopt;
        bytes.append(*byte);
    }
    return bytes;
}

} // namespace kestavo::drills

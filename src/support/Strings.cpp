#include "support/Strings.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/alloc.h"

namespace {

const WChar kEmptyW[1] = {0};

// Buffers are whole multiples of this many units (or bytes).
constexpr int64_t kStringStep = 32;

// Capacity for a request of n: n rounded up to the step, at least one step so
// that a terminator always fits. 0 when it cannot be had.
int32_t RoundedCapacity(int64_t n, size_t unitSize) {
    if (n < 1)
        n = 1;
    int64_t want = (n + kStringStep - 1) / kStringStep * kStringStep;
    if (want > INT32_MAX || static_cast<uint64_t>(want) > SIZE_MAX / unitSize)
        return 0;
    return static_cast<int32_t>(want);
}

template <class T> int32_t BoundedLen(const T* s, int32_t cap) {
    int32_t n = 0;
    while (n < cap && s[n])
        ++n;
    return n;
}

bool IsUtfCodePage(uint32_t cp) {
    return cp == plat::kCpUtf7 || cp == plat::kCpUtf8;
}

} // namespace

// ---------------------------------------------------------------- CWString

CWString::CWString(const char* text, uint32_t codePage)
    : buffer_(nullptr), capacity_(0), codePage_(codePage) {
    Assign(text, -1);
}

CWString::~CWString() {
    plat::Free(buffer_);
}

bool CWString::Reserve(int32_t units) {
    if (buffer_ && units < capacity_)
        return true;
    plat::Free(buffer_);
    buffer_ = nullptr;
    capacity_ = 0;
    int32_t cap = RoundedCapacity(units, sizeof(WChar));
    if (cap == 0)
        return false;
    buffer_ = static_cast<WChar*>(plat::Alloc(static_cast<size_t>(cap) * sizeof(WChar)));
    if (!buffer_)
        return false;
    buffer_[0] = 0;
    capacity_ = cap;
    return true;
}

void CWString::Assign(const char* text, int32_t len) {
    if (!text) {
        plat::Free(buffer_);
        buffer_ = nullptr;
        capacity_ = 0;
        return;
    }
    if (len < 0)
        len = BoundedLen(text, INT32_MAX);
    uint32_t flags = IsUtfCodePage(codePage_) ? 0 : plat::kMbPrecomposed;
    int needed = len > 0 ? plat::MultiByteToWide(codePage_, flags, text, len, nullptr, 0) : 0;
    if (needed < 0)
        needed = 0;
    if (!Reserve(static_cast<int32_t>(needed < INT32_MAX ? needed + 1 : INT32_MAX)))
        return;
    // One unit is kept back for the terminator.
    int got =
        needed > 0 ? plat::MultiByteToWide(codePage_, flags, text, len, buffer_, capacity_ - 1) : 0;
    if (got < 0 || got > capacity_ - 1)
        got = 0;
    buffer_[got] = 0;
}

const WChar* CWString::CStr() const {
    return buffer_ ? buffer_ : kEmptyW;
}

int32_t CWString::Length() const {
    return buffer_ ? BoundedLen(buffer_, capacity_) : 0;
}

// ---------------------------------------------------------------- CMString

CMString::CMString(const WChar* text, uint32_t codePage)
    : buffer_(nullptr), capacity_(0), codePage_(codePage) {
    Assign(text, -1);
}

CMString::~CMString() {
    plat::Free(buffer_);
}

bool CMString::Reserve(int32_t bytes) {
    if (buffer_ && bytes < capacity_)
        return true;
    plat::Free(buffer_);
    buffer_ = nullptr;
    capacity_ = 0;
    int32_t cap = RoundedCapacity(bytes, 1);
    if (cap == 0)
        return false;
    buffer_ = static_cast<char*>(plat::Alloc(static_cast<size_t>(cap)));
    if (!buffer_)
        return false;
    buffer_[0] = 0;
    capacity_ = cap;
    return true;
}

bool CMString::Assign(const WChar* text, int32_t len) {
    if (!text) {
        plat::Free(buffer_);
        buffer_ = nullptr;
        capacity_ = 0;
        return true;
    }
    if (len < 0)
        len = BoundedLen(text, INT32_MAX);
    uint32_t flags = IsUtfCodePage(codePage_) ? 0 : plat::kWcCompositeCheck;
    int needed = len > 0 ? plat::WideToMultiByte(codePage_, flags, text, len, nullptr, 0) : 0;
    if (needed < 0)
        needed = 0;
    if (!Reserve(static_cast<int32_t>(needed < INT32_MAX ? needed + 1 : INT32_MAX)))
        return false;
    int got =
        needed > 0 ? plat::WideToMultiByte(codePage_, flags, text, len, buffer_, capacity_ - 1) : 0;
    if (got < 0 || got > capacity_ - 1)
        got = 0;
    buffer_[got] = 0;
    return true;
}

int32_t CMString::Length() const {
    return buffer_ ? BoundedLen(buffer_, capacity_) : 0;
}

// ---------------------------------------------------------- bounded copies

namespace {

template <class T> int CopyText(T* dst, const T* src, int cap) {
    if (!dst || cap <= 0)
        return 0;
    if (!src) {
        dst[0] = 0;
        return 0;
    }
    // Never reads the source further than what fits.
    int n = BoundedLen(src, cap - 1);
    std::memmove(dst, src, static_cast<size_t>(n) * sizeof(T));
    dst[n] = 0;
    return n;
}

} // namespace

int CopyTextW(WChar* dst, const WChar* src, int cap) {
    return CopyText(dst, src, cap);
}

int CopyTextA(char* dst, const char* src, int cap) {
    return CopyText(dst, src, cap);
}

bool AppendTextW(WChar* dst, const WChar* src, int cap) {
    if (!dst || !src || cap <= 0)
        return false;
    // A destination with no terminator within cap is treated as too long,
    // rather than searched past its end.
    int len = BoundedLen(dst, cap);
    int room = cap - len - 1;
    if (room < 0) {
        dst[cap - 1] = 0;
        return true;
    }
    int n = BoundedLen(src, room);
    std::memmove(dst + len, src, static_cast<size_t>(n) * sizeof(WChar));
    dst[len + n] = 0;
    return true;
}

bool MakeFullPath(const WChar* path, WChar* result, const WChar* folder, int resultCap) {
    if (!path || !result || resultCap <= 0) {
        if (result && resultCap > 0 && !path)
            result[0] = 0;
        return false;
    }
    if (plat::PathIsAbsolute(path)) {
        CopyTextW(result, path, resultCap);
        return false;
    }
    // The join goes through a work buffer: result may be path itself.
    WChar local[plat::kMaxPath];
    WChar* work = local;
    if (resultCap > static_cast<int>(plat::kMaxPath)) {
        work = static_cast<WChar*>(plat::Alloc(static_cast<size_t>(resultCap) * sizeof(WChar)));
        if (!work) {
            result[0] = 0;
            return false;
        }
    }
    int n = CopyTextW(work, folder ? folder : kEmptyW, resultCap);
    if (n > 0 && plat::IsPathSep(work[n - 1]))
        work[--n] = 0;
    if (!plat::IsPathSep(path[0])) {
        const WChar sep[2] = {plat::kPathSep, 0};
        AppendTextW(work, sep, resultCap);
    }
    AppendTextW(work, path, resultCap);
    CopyTextW(result, work, resultCap);
    if (work != local)
        plat::Free(work);
    return true;
}

// -------------------------------------------------------------- formatting

namespace {

// Writes into a bounded buffer; whatever does not fit is dropped.
class Sink {
public:
    Sink(WChar* buf, int cap) : buf_(buf), cap_(cap), pos_(0) {}

    void Put(WChar c) {
        if (pos_ < cap_ - 1)
            buf_[pos_++] = c;
    }
    void Fill(WChar c, int64_t n) {
        for (; n > 0 && pos_ < cap_ - 1; --n)
            buf_[pos_++] = c;
    }
    void PutW(const WChar* s, int64_t n) {
        for (int64_t i = 0; i < n && pos_ < cap_ - 1; ++i)
            buf_[pos_++] = s[i];
    }
    // ASCII (numbers from the C library).
    void PutA(const char* s, int64_t n) {
        for (int64_t i = 0; i < n && pos_ < cap_ - 1; ++i)
            buf_[pos_++] = static_cast<WChar>(static_cast<unsigned char>(s[i]));
    }
    int Finish() {
        if (cap_ > 0)
            buf_[pos_] = 0;
        return pos_;
    }

private:
    WChar* buf_;
    int cap_;
    int pos_;
};

enum SizeMod { kSizeNone, kSizeHH, kSizeH, kSizeL, kSizeLL, kSizeLongDouble, kSizePtr, kSize32 };

// Flags, width, precision and size of one conversion.
struct Field {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool zero = false;
    bool alt = false;
    int width = 0;
    int prec = -1;
    SizeMod size = kSizeNone;
};

// Width or precision digits, clamped so that a silly number cannot overflow.
int ParseNumber(const WChar*& p) {
    int v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v < 100000000)
            v = v * 10 + (*p - '0');
        ++p;
    }
    return v;
}

void PadField(Sink& out, const Field& field, int64_t len, bool before) {
    if (field.width > len && field.left != before)
        out.Fill(' ', field.width - len);
}

void FormatWide(Sink& out, const Field& field, const WChar* s) {
    if (!s)
        s = W16("(null)");
    int32_t len = BoundedLen(s, field.prec >= 0 ? field.prec : INT32_MAX);
    PadField(out, field, len, true);
    out.PutW(s, len);
    PadField(out, field, len, false);
}

void FormatNarrow(Sink& out, const Field& field, const char* s) {
    if (!s) {
        FormatWide(out, field, nullptr);
        return;
    }
    int32_t len = BoundedLen(s, field.prec >= 0 ? field.prec : INT32_MAX);
    WChar local[256];
    WChar* wide = local;
    int n = 0;
    if (len > 0) {
        n = plat::MultiByteToWide(plat::kCpAcp, 0, s, len, nullptr, 0);
        if (n > static_cast<int>(sizeof(local) / sizeof(local[0])))
            wide = static_cast<WChar*>(plat::Alloc(static_cast<size_t>(n) * sizeof(WChar)));
        n = (wide && n > 0) ? plat::MultiByteToWide(plat::kCpAcp, 0, s, len, wide, n) : 0;
    }
    if (field.prec >= 0 && n > field.prec)
        n = field.prec;
    PadField(out, field, n, true);
    out.PutW(wide, n);
    PadField(out, field, n, false);
    if (wide != local)
        plat::Free(wide);
}

void FormatChar(Sink& out, const Field& field, WChar c) {
    PadField(out, field, 1, true);
    out.Put(c);
    PadField(out, field, 1, false);
}

WChar WidenByte(char c) {
    WChar w = 0;
    if (plat::MultiByteToWide(plat::kCpAcp, 0, &c, 1, &w, 1) != 1)
        w = static_cast<WChar>(static_cast<unsigned char>(c));
    return w;
}

void FormatInteger(Sink& out, const Field& field, uint64_t mag, bool negative, bool isSigned,
                   unsigned base, bool upper) {
    const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[72];
    int nd = 0;
    for (uint64_t v = mag; v != 0; v /= base)
        digits[nd++] = digitSet[v % base];
    // Precision 0 prints nothing for 0; otherwise at least one digit.
    if (mag == 0 && field.prec != 0)
        digits[nd++] = '0';

    char prefix[3] = {0, 0, 0};
    int np = 0;
    if (isSigned) {
        if (negative)
            prefix[np++] = '-';
        else if (field.plus)
            prefix[np++] = '+';
        else if (field.space)
            prefix[np++] = ' ';
    }
    if (field.alt && base == 16 && mag != 0) {
        prefix[np++] = '0';
        prefix[np++] = upper ? 'X' : 'x';
    }
    int64_t zeros = field.prec > nd ? field.prec - nd : 0;
    if (field.alt && base == 8 && zeros == 0 && (nd == 0 || digits[nd - 1] != '0'))
        zeros = 1;
    int64_t len = np + zeros + nd;
    if (field.zero && !field.left && field.prec < 0 && field.width > len) {
        zeros += field.width - len;
        len = field.width;
    }
    PadField(out, field, len, true);
    out.PutA(prefix, np);
    out.Fill('0', zeros);
    while (nd > 0)
        out.Put(static_cast<WChar>(digits[--nd]));
    PadField(out, field, len, false);
}

void FormatFloat(Sink& out, const Field& field, WChar conv, long double value, bool isLong) {
    // The C library does the digits; width and padding are done here so that
    // a huge width costs no buffer.
    char fmt[16];
    int f = 0;
    fmt[f++] = '%';
    if (field.plus)
        fmt[f++] = '+';
    if (field.space)
        fmt[f++] = ' ';
    if (field.alt)
        fmt[f++] = '#';
    fmt[f++] = '.';
    fmt[f++] = '*';
    if (isLong)
        fmt[f++] = 'L';
    fmt[f++] = static_cast<char>(conv);
    fmt[f] = 0;
    int prec = field.prec >= 0 ? field.prec : 6;

    char local[128];
    char* text = local;
    int n = isLong ? std::snprintf(local, sizeof(local), fmt, prec, value)
                   : std::snprintf(local, sizeof(local), fmt, prec, static_cast<double>(value));
    if (n < 0)
        return;
    if (static_cast<size_t>(n) >= sizeof(local)) {
        text = static_cast<char*>(plat::Alloc(static_cast<size_t>(n) + 1));
        if (!text)
            return;
        n = isLong ? std::snprintf(text, static_cast<size_t>(n) + 1, fmt, prec, value)
                   : std::snprintf(text, static_cast<size_t>(n) + 1, fmt, prec,
                                   static_cast<double>(value));
        if (n < 0)
            n = 0;
    }
    bool finite = std::isfinite(value);
    if (field.zero && !field.left && finite && field.width > n) {
        int sign = (text[0] == '-' || text[0] == '+' || text[0] == ' ') ? 1 : 0;
        out.PutA(text, sign);
        out.Fill('0', field.width - n);
        out.PutA(text + sign, n - sign);
    } else {
        PadField(out, field, n, true);
        out.PutA(text, n);
        PadField(out, field, n, false);
    }
    if (text != local)
        plat::Free(text);
}

// Reads the next signed integer argument of the given size.
int64_t SignedArg(va_list& args, SizeMod size) {
    switch (size) {
    case kSizeHH:
        return static_cast<signed char>(va_arg(args, int));
    case kSizeH:
        return static_cast<short>(va_arg(args, int));
    case kSizeL:
        return va_arg(args, long);
    case kSizeLL:
        return va_arg(args, long long);
    case kSizePtr:
        return va_arg(args, ptrdiff_t);
    default:
        return va_arg(args, int);
    }
}

uint64_t UnsignedArg(va_list& args, SizeMod size) {
    switch (size) {
    case kSizeHH:
        return static_cast<unsigned char>(va_arg(args, unsigned));
    case kSizeH:
        return static_cast<unsigned short>(va_arg(args, unsigned));
    case kSizeL:
        return va_arg(args, unsigned long);
    case kSizeLL:
        return va_arg(args, unsigned long long);
    case kSizePtr:
        return va_arg(args, size_t);
    default:
        return va_arg(args, unsigned);
    }
}

} // namespace

int VFormatText(WChar* buf, int cap, const WChar* fmt, va_list args) {
    if (!buf || cap <= 0)
        return 0;
    Sink out(buf, cap);
    if (!fmt)
        return out.Finish();
    // A copy that can be passed on by reference whatever va_list is.
    va_list ap;
    va_copy(ap, args);
    const WChar* p = fmt;
    while (*p) {
        if (*p != '%') {
            out.Put(*p++);
            continue;
        }
        const WChar* start = p++;
        if (*p == '%') {
            out.Put('%');
            ++p;
            continue;
        }
        Field field;
        for (;; ++p) {
            if (*p == '-')
                field.left = true;
            else if (*p == '+')
                field.plus = true;
            else if (*p == ' ')
                field.space = true;
            else if (*p == '0')
                field.zero = true;
            else if (*p == '#')
                field.alt = true;
            else
                break;
        }
        if (*p == '*') {
            ++p;
            int w = va_arg(ap, int);
            if (w < 0) {
                field.left = true;
                w = w == INT_MIN ? INT_MAX : -w;
            }
            field.width = w;
        } else {
            field.width = ParseNumber(p);
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                ++p;
                int pr = va_arg(ap, int);
                field.prec = pr < 0 ? -1 : pr;
            } else {
                field.prec = ParseNumber(p);
            }
        }
        bool narrow = false;
        bool wide = false;
        if (p[0] == 'h' && p[1] == 'h') {
            field.size = kSizeHH;
            p += 2;
        } else if (p[0] == 'h') {
            field.size = kSizeH;
            narrow = true;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            field.size = kSizeLL;
            p += 2;
        } else if (p[0] == 'l' || p[0] == 'w') {
            field.size = kSizeL;
            wide = true;
            ++p;
        } else if (p[0] == 'L') {
            field.size = kSizeLongDouble;
            ++p;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            field.size = kSizeLL;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            field.size = kSize32;
            p += 3;
        } else if (p[0] == 'I' || p[0] == 'z') {
            field.size = kSizePtr;
            ++p;
        }
        WChar conv = *p;
        if (conv)
            ++p;
        switch (conv) {
        case 'd':
        case 'i': {
            int64_t v = SignedArg(ap, field.size);
            uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            FormatInteger(out, field, mag, v < 0, true, 10, false);
            break;
        }
        case 'u':
            FormatInteger(out, field, UnsignedArg(ap, field.size), false, false, 10, false);
            break;
        case 'x':
        case 'X':
            FormatInteger(out, field, UnsignedArg(ap, field.size), false, false, 16, conv == 'X');
            break;
        case 'o':
            FormatInteger(out, field, UnsignedArg(ap, field.size), false, false, 8, false);
            break;
        case 'p': {
            // Fixed-width upper-case hex, as the Windows runtime prints it.
            Field pf = field;
            pf.prec = static_cast<int>(sizeof(void*) * 2);
            pf.alt = false;
            uintptr_t v = reinterpret_cast<uintptr_t>(va_arg(ap, void*));
            FormatInteger(out, pf, v, false, false, 16, true);
            break;
        }
        case 'f':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
            if (field.size == kSizeLongDouble)
                FormatFloat(out, field, conv, va_arg(ap, long double), true);
            else
                FormatFloat(out, field, conv, va_arg(ap, double), false);
            break;
        case 's':
            if (narrow)
                FormatNarrow(out, field, va_arg(ap, const char*));
            else
                FormatWide(out, field, va_arg(ap, const WChar*));
            break;
        case 'S':
            if (wide)
                FormatWide(out, field, va_arg(ap, const WChar*));
            else
                FormatNarrow(out, field, va_arg(ap, const char*));
            break;
        case 'c':
            if (narrow)
                FormatChar(out, field, WidenByte(static_cast<char>(va_arg(ap, int))));
            else
                FormatChar(out, field, static_cast<WChar>(va_arg(ap, int)));
            break;
        case 'C':
            if (wide)
                FormatChar(out, field, static_cast<WChar>(va_arg(ap, int)));
            else
                FormatChar(out, field, WidenByte(static_cast<char>(va_arg(ap, int))));
            break;
        default:
            // Unknown (and %n, which is never honoured): shown as written,
            // taking no argument.
            out.PutW(start, p - start);
            break;
        }
    }
    va_end(ap);
    return out.Finish();
}

int FormatText(WChar* buf, int cap, const WChar* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = VFormatText(buf, cap, fmt, args);
    va_end(args);
    return n;
}

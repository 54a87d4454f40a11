#include "support/ErrorString.h"

#include "platform/codepage.h"
#include "support/LockGuard.h"
#include "support/ResLang.h"
#include "support/Strings.h"

namespace {

// True when format has a '%' that does not belong to a "%%" pair.
bool HasConversion(const WChar* format) {
    for (const WChar* p = format; *p; ++p) {
        if (*p != W16('%'))
            continue;
        if (p[1] != W16('%'))
            return true;
        ++p;
    }
    return false;
}

} // namespace

CErrorString::CErrorString() {
    text_[0] = 0;
}

CErrorString::~CErrorString() = default;

bool CErrorString::StoreLocked(const WChar* text) {
    if (plat::WStrICmp(text, text_) == 0)
        return false;
    CopyTextW(text_, text, kCapacity);
    return true;
}

bool CErrorString::SetText(const WChar* text) {
    LockGuard hold(&lock_);
    if (text && text[0])
        return StoreLocked(text);
    if (!text_[0])
        return false;
    text_[0] = 0;
    return true;
}

bool CErrorString::SetTextFormat(const WChar* format, ...) {
    va_list args;
    va_start(args, format);
    bool changed = SetTextFormatV(format, args);
    va_end(args);
    return changed;
}

bool CErrorString::SetTextFormatV(const WChar* format, va_list args) {
    if (!format || !HasConversion(format))
        return SetText(format);
    WChar work[kCapacity];
    work[0] = 0;
    VFormatText(work, kCapacity, format, args);
    LockGuard hold(&lock_);
    return StoreLocked(work);
}

bool CErrorString::SetTextFromId(const CResLang* lang, uint32_t id, ...) {
    va_list args;
    va_start(args, id);
    bool changed = SetTextFromIdV(lang, id, args);
    va_end(args);
    return changed;
}

bool CErrorString::SetTextFromIdV(const CResLang* lang, uint32_t id, va_list args) {
    WChar work[kCapacity];
    work[0] = 0;
    if (!lang || lang->LoadText(id, work, kCapacity) <= 0)
        work[0] = 0; // never format from what a failed load left behind
    return SetTextFormatV(work, args);
}

int CErrorString::GetText(WChar* out, int cap) const {
    LockGuard hold(&lock_);
    return CopyTextW(out, text_, cap);
}

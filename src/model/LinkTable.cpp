#include <vector>

#include "model/LinkModel.h"
#include "model/NameOrder.h"
#include "support/LockGuard.h"
#include "support/Strings.h"

CLinkTable::CLinkTable()
    : scanPeriod_(model::kDefaultScanPeriod), readInterval_(model::kDefaultReadInterval),
      started_(0), hostPort_(0), resLang_(nullptr), channelFactory_(nullptr), tickSource_(nullptr) {
    links_.Configure(&model::CompareNames<CPlcDrvLink>, sizeof(void*));
    traceFile_[0] = 0;
}

CLinkTable::~CLinkTable() {
    RemoveAll();
}

bool CLinkTable::StartAll() {
    LockGuard hold(&lock_);
    if (started_.load())
        return true;
    for (uint32_t i = 0; i < links_.Count(); ++i)
        model::PointerAt<CPlcDrvLink>(links_, i)->StartLink();
    started_.store(1);
    return true;
}

bool CLinkTable::StopAll() {
    LockGuard hold(&lock_);
    for (uint32_t i = 0; i < links_.Count(); ++i)
        model::PointerAt<CPlcDrvLink>(links_, i)->StopLink();
    started_.store(0);
    return true;
}

void CLinkTable::RemoveAll() {
    LockGuard hold(&lock_);
    started_.store(0);
    for (uint32_t i = 0; i < links_.Count(); ++i) {
        CPlcDrvLink* link = model::PointerAt<CPlcDrvLink>(links_, i);
        if (link->StopLink())
            delete link;
    }
    links_.Clear();
}

void CLinkTable::AbandonAtProcessEnd() {
    LockGuard hold(&lock_);
    started_.store(0);
    links_.Clear();
}

CPlcDrvLink* CLinkTable::FindLink(const WChar* name) const {
    LockGuard hold(&lock_);
    return model::FindByName<CPlcDrvLink>(links_, name);
}

CPlcDrvLink* CLinkTable::GetLink(uint32_t index) const {
    LockGuard hold(&lock_);
    return model::PointerAt<CPlcDrvLink>(links_, index);
}

uint32_t CLinkTable::LinkCount() const {
    LockGuard hold(&lock_);
    return links_.Count();
}

bool CLinkTable::InsertLink(CPlcDrvLink* link) {
    if (!link)
        return false;
    CPlcDrvLink* displaced = nullptr;
    LockGuard hold(&lock_);
    link->SetSerial(++nextSerial_);
    if (!model::InsertByName(links_, link, &displaced)) {
        delete link;
        return false;
    }
    delete displaced;
    return true;
}

uint32_t CLinkTable::Now() const {
    TickSource source = tickSource_.load();
    return source ? source() : plat::TickCount();
}

void CLinkTable::SetTraceFile(const WChar* path) {
    LockGuard hold(&traceLock_);
    CopyTextW(traceFile_, path ? path : W16(""), plat::kMaxPath);
}

bool CLinkTable::TraceFile(WChar* out, uint32_t cap) const {
    LockGuard hold(&traceLock_);
    return cap > 0 && traceFile_[0] && CopyTextW(out, traceFile_, static_cast<int>(cap)) > 0;
}

// Reply judging on arbitrary bytes: nothing may be read beyond the reply, and
// the verdicts must agree with what the decoders then accept.
#include "FuzzKit.h"
#include "comm/Frames.h"

using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    // First byte: the byte count asked for; the rest is the reply, copied to a
    // block of exactly its size so that any overread is caught.
    const int32_t count = 1 + data[0] % idec::kMaxBlockBytes;
    const int32_t n = static_cast<int32_t>(size - 1);
    std::unique_ptr<uint8_t[]> reply(new uint8_t[size - 1 ? size - 1 : 1]);
    if (n > 0)
        std::memcpy(reply.get(), data + 1, static_cast<size_t>(n));
    const uint8_t* r = n > 0 ? reply.get() : nullptr;

    const int32_t block = idec::JudgeBlockRead(r, n, count);
    uint8_t out[idec::kMaxBlockBytes];
    const bool decoded = idec::DecodeBlockData(r, n, count, out);
    const idec::ReplyKind kind = idec::ClassifyReply(r, n);
    // Success only ever comes from a positive reply.
    if (block == idec::kStatusOk)
        Check(decoded && kind == idec::kReplyPositive,
              "a block read judged good that is no good reply");
    if (idec::JudgeWrite(r, n, -7) == idec::kStatusOk)
        Check(kind == idec::kReplyPositive, "a write judged good on no positive reply");
    if (n == 0)
        Check(block == idec::kStatusRecvTimeout, "no reply is no time-out");

    bool on = false;
    if (idec::JudgeBitRead(r, n, &on) == idec::kStatusOk)
        Check(n == 8 && kind == idec::kReplyPositive, "a bit read judged good");
    // Only an empty reply keeps the previous status.
    Check((idec::JudgeWrite(r, n, -7) == -7) == (n == 0), "the previous status kept");

    const idec::AddressList list = idec::ParseAddressList(r, n);
    Check(list.available <= list.declared, "more entries than declared");
    if (list.kind == idec::kListEntries) {
        Check(12 + 8 * static_cast<int64_t>(list.available) <= n, "entries beyond the reply");
        uint32_t sum = 0;
        for (uint32_t i = 0; i < list.available; ++i) {
            uint32_t v = 0;
            Check(idec::AddressListEntry(r, n, i, &v), "an available entry refused");
            sum += v;
        }
        uint32_t v = sum;
        Check(!idec::AddressListEntry(r, n, static_cast<uint32_t>((n - 12) / 8), &v),
              "an entry beyond the reply");
    }
    return 0;
}

// WinSock error numbers. Both backends report socket errors with these codes,
// so error codes and their texts come out the same everywhere.
#pragma once

namespace plat {
namespace wsa {

constexpr int kEintr = 10004;
constexpr int kEbadf = 10009;
constexpr int kEacces = 10013;
constexpr int kEfault = 10014;
constexpr int kEinval = 10022;
constexpr int kEmfile = 10024;
constexpr int kEwouldblock = 10035;
constexpr int kEinprogress = 10036;
constexpr int kEalready = 10037;
constexpr int kEnotsock = 10038;
constexpr int kEdestaddrreq = 10039;
constexpr int kEmsgsize = 10040;
constexpr int kEprototype = 10041;
constexpr int kEnoprotoopt = 10042;
constexpr int kEprotonosupport = 10043;
constexpr int kEsocktnosupport = 10044;
constexpr int kEopnotsupp = 10045;
constexpr int kEpfnosupport = 10046;
constexpr int kEafnosupport = 10047;
constexpr int kEaddrinuse = 10048;
constexpr int kEaddrnotavail = 10049;
constexpr int kEnetdown = 10050;
constexpr int kEnetunreach = 10051;
constexpr int kEnetreset = 10052;
constexpr int kEconnaborted = 10053;
constexpr int kEconnreset = 10054;
constexpr int kEnobufs = 10055;
constexpr int kEisconn = 10056;
constexpr int kEnotconn = 10057;
constexpr int kEshutdown = 10058;
constexpr int kEtoomanyrefs = 10059;
constexpr int kEtimedout = 10060;
constexpr int kEconnrefused = 10061;
constexpr int kEloop = 10062;
constexpr int kEnametoolong = 10063;
constexpr int kEhostdown = 10064;
constexpr int kEhostunreach = 10065;
constexpr int kEnotempty = 10066;
constexpr int kEproclim = 10067;
constexpr int kEusers = 10068;
constexpr int kEdquot = 10069;
constexpr int kEstale = 10070;
constexpr int kEremote = 10071;
constexpr int kSysnotready = 10091;
constexpr int kVernotsupported = 10092;
constexpr int kNotinitialised = 10093;
constexpr int kEdiscon = 10101;
constexpr int kHostNotFound = 11001;
constexpr int kTryAgain = 11002;
constexpr int kNoRecovery = 11003;
constexpr int kNoData = 11004;

} // namespace wsa
} // namespace plat

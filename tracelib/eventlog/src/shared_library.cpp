// The shared library is the core archive linked whole; this unit only gives it a body.
namespace ktl::syslog {

// Nothing reads it; it marks the binary.
[[maybe_unused]] __attribute__((used)) const char kIdentification[] =
    "@(#)zuno2KTLORLIBsys_x64 event log library";

}  // namespace ktl::syslog

// The shared library is the core archive linked whole; this unit only gives it a body.
namespace qac {

// Nothing reads it; it marks the binary.
[[maybe_unused]] __attribute__((used)) const char kIdentification[] =
    "@(#)jovacfg settings store library";

}  // namespace qac

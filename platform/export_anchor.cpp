// The shared library is made of the whole core archive; this file only gives
// the library target a source of its own.
namespace tq {
extern const char kLibraryName[] = "tqapi";
}  // namespace tq

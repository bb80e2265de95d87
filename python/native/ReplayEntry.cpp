// The replay entry of the Python package. TQReadFileData takes the host's
// file dialog object and reports a capture it cannot open by throwing; a C
// caller (ctypes) can make neither, and an exception crossing into it ends
// the process. This entry takes a path and returns the reason instead.
#include "TQApi.h"

extern "C" {

// Replays the raw capture at `path` into `window` as TQReadFileData does.
// Returns 0 when the file was read (a refused header included), else the
// file's failure cause (2 not found, 5 access denied, 11 in use, 1 other),
// with the system's error in `osError` when that is not null.
__attribute__((visibility("default"))) int TQPyReplayFile(HWND window, const char* path,
                                                          long* osError) {
  if (path == nullptr) return CFileException::genericException;
  CFileDialog dialog(path);
  try {
    TQReadFileData(window, &dialog);
  } catch (const CFileException& error) {
    if (osError != nullptr) *osError = error.m_lOsError;
    return error.m_cause != CFileException::none ? error.m_cause : CFileException::genericException;
  } catch (...) {
    return CFileException::genericException;
  }
  return 0;
}

}  // extern "C"

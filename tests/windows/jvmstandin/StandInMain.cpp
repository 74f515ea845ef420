// The JVM stand-in: runs the cases of the production DLL (--dll=) and of the
// test build with the pipe seam (--seam-dll=); paths relative to this program.
#include <gtest/gtest.h>
#include <string.h>

#include "StandInTest.h"

namespace {

std::string BesideProgram(const char *pszName) {
  if (strchr(pszName, '\\') != NULL || strchr(pszName, '/') != NULL ||
      strchr(pszName, ':') != NULL) {
    return pszName;
  }
  char szPath[MAX_PATH];
  DWORD n = GetModuleFileNameA(NULL, szPath, sizeof szPath);
  std::string path(szPath, n);
  size_t nSlash = path.find_last_of("\\/");
  return (nSlash == std::string::npos ? std::string() : path.substr(0, nSlash + 1)) + pszName;
}

}  // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], "--dll=", 6) == 0) g_DllPath = BesideProgram(argv[i] + 6);
    if (strncmp(argv[i], "--seam-dll=", 11) == 0) g_SeamDllPath = BesideProgram(argv[i] + 11);
  }
  return RUN_ALL_TESTS();
}

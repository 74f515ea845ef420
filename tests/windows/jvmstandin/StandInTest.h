// Fixture of the stand-in's cases: a fresh load of the library per case
// (its static objects start afresh), the debugger output captured, and at
// the end the checks a JVM would make of any native call: no JNI misuse, no
// elements left, every stdcall native popping exactly its arguments, no
// thread of the library left behind.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DebugCapture.h"
#include "JvmStandIn.h"

// The generous bound of every wait for something that is to happen.
const unsigned long kBoundMs = 20000;

// Paths of the production and the test build of the library (set by main).
extern std::string g_DllPath;
extern std::string g_SeamDllPath;

// Threads of this process that started in the module (its receiver
// threads), or -1 when they cannot be told.
int LibraryThreadCount(HMODULE hModule);
// Waits (bounded) until the module has no thread left; their count then.
int WaitNoLibraryThreads(HMODULE hModule);

class CStandInTest : public ::testing::Test {
 protected:
  void LoadLibraryUnderTest(const std::string &path);
  void TearDown() override;

  // Lines with this tag since line nFrom, as "text" each.
  std::vector<std::string> Texts(const std::string &tag, size_t nFrom = 0);

  std::unique_ptr<CJvmStandIn> m_pJvm;
};

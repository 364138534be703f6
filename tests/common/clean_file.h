// The whole-file checker as a test assertion: every fault and crash test
// runs it on the files it leaves.
#pragma once

#include <string>

#include <gtest/gtest.h>

// Success when the checker finds nothing in the file at path; otherwise a
// failure that lists every finding.
::testing::AssertionResult FileIsClean(const std::string &path);

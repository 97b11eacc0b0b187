// Starts the host layer (interpreter and message service) once around all tests of a binary.
// Include it from one source file of the binary.
#pragma once

#include <gtest/gtest.h>

#include "host/host.h"

class HOST_ENVIRONMENT : public ::testing::Environment {
 public:
  void SetUp() override { host_start("ipc_test"); }
  void TearDown() override { host_stop(); }
};

inline ::testing::Environment* const ipc_test_host_environment =
    ::testing::AddGlobalTestEnvironment(new HOST_ENVIRONMENT);  // gtest owns it

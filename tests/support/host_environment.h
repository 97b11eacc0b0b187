// Starts the host layer once around all tests of the binary that includes this (in one file).
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

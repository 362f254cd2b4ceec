// The common headers and GoogleTest's, for the test executables (POKESCOPE_PCH).
#pragma once

#include "cmake/Precompiled.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

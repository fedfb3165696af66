// SPDX-License-Identifier: Apache-2.0
#pragma once
// A RapidCheck property run inside a GoogleTest test with the test's own parameters (a fixed seed,
// so that make test is repeatable; RC_PARAMS in the environment gives others), and a failure that
// says how to repeat it. Only tests that link rapidcheck include this.
#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <sstream>
#include <string>
#include <utility>

namespace kit::testing {

template <typename Property>
::testing::AssertionResult PropertyHolds(const std::string& id, const rc::detail::TestParams& params,
                                         Property&& property) {
  rc::detail::TestMetadata metadata;
  metadata.id = id;
  const auto result =
      rc::detail::checkProperty(rc::detail::toProperty(std::forward<Property>(property)), metadata, params);
  if (result.template is<rc::detail::SuccessResult>()) return ::testing::AssertionSuccess();
  std::ostringstream message;
  rc::detail::printResultMessage(result, message);
  return ::testing::AssertionFailure() << message.str() << "\nseed=" << params.seed << " (RC_PARAMS=\"seed="
                                       << params.seed << " max_success=" << params.maxSuccess
                                       << " max_size=" << params.maxSize << "\" repeats it)";
}

}  // namespace kit::testing

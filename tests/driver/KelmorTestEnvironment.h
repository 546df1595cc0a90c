#pragma once

// The environment of a test program that installs the stand-in driver: a watchdog, so that a
// driver hanging inside its host cannot hang the suite, and no service left over from an
// earlier run that was cut short, neither before the tests nor after them.

#include "KelmorService.h"
#include "KelmorTestSupport.h"

#include <gtest/gtest.h>

class CKelmorTestEnvironment : public ::testing::Environment {
public:
    explicit CKelmorTestEnvironment(DWORD watchdogSeconds) : m_watchdogSeconds(watchdogSeconds) {}

    void SetUp() override {
        StartWatchdog(m_watchdogSeconds);
        ASSERT_TRUE(CKelmorService::RemoveLeftover());
    }
    void TearDown() override {
        CKelmorService::RemoveLeftover();
        StopWatchdog();
    }

private:
    DWORD m_watchdogSeconds;
};

// A test that runs with the driver's service installed from the build's driver file
// (KELMOR_SYS_PATH, which the test program defines) and started; removed again after it.
class CKelmorRunningTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::wstring error;
        ASSERT_TRUE(m_service.Install(WindowsPath(KELMOR_SYS_PATH), error))
            << std::string(error.begin(), error.end());
        ASSERT_TRUE(m_service.Start(error)) << std::string(error.begin(), error.end());
    }
    // A service that cannot be removed would fail every test after this one.
    void TearDown() override { EXPECT_TRUE(m_service.Remove()); }

    CKelmorService m_service;
};

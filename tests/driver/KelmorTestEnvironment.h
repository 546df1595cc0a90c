#pragma once

// The environment of a test program that installs the stand-in driver: a watchdog, so that a
// driver hanging inside its host cannot hang the suite, and no service left over from an
// earlier run that was cut short, neither before the tests nor after them.

#include "KelmorService.h"

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

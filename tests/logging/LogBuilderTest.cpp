// The back-end choice and the creation of the back ends.
#include "logging/LogBuilder.h"

#include <gtest/gtest.h>

#include "basalt/ObfuscatedRegKey.h"
#include "basalt/RegKey.h"
#include "logging/etw/ETWLogging.h"
#include "logging/file/FileLogging.h"
#include "tests/support/TestSupport.h"

using namespace ETWLogging;
using TestSupport::ScratchRegistryKey;

namespace {

bool IsFileLogger(CLoggingIf* logger) { return dynamic_cast<CLogging*>(logger) != nullptr; }
bool IsEtwLogger(CLoggingIf* logger) { return dynamic_cast<CETWLogging*>(logger) != nullptr; }

// Writes "Logging Mechanism" into the machine's logging key through a `Key`.
template <class Key>
LONG SetMachineMechanism(DWORD value) {
    Key key;
    LONG code = key.Create(HKEY_LOCAL_MACHINE, kLoggingKeyPath);
    return code != ERROR_SUCCESS ? code : key.SetDWORDValue(kLoggingMechanismValue, value);
}

void RemoveMachineMechanism() {
    Basalt::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kLoggingKeyPath) == ERROR_SUCCESS) {
        key.DeleteValue(kLoggingMechanismValue);
    }
}

class LogBuilderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(config_.Open(HKEY_CURRENT_USER, scratch_.path().c_str()), 0);
    }

    // Builds with the scratch config key (or none) and keeps the logger for deletion.
    CLoggingIf* Build(DWORD forceFileLogging, bool withConfig = true) {
        CLoggingIf* logger = nullptr;
        EXPECT_TRUE(builder_.BuildEx(nullptr, L"RQD", nullptr, nullptr, forceFileLogging, &logger,
                                     withConfig ? &config_ : nullptr));
        loggers_.emplace_back(logger);
        return logger;
    }

    ScratchRegistryKey scratch_{L"LogBuilder"};
    Basalt::CRegKey config_;
    CDefaultLogBuilder builder_;
    std::vector<std::unique_ptr<CLoggingIf>> loggers_;
};

TEST_F(LogBuilderTest, OnlyMechanismOneOrForcedFileLoggingSelectsTheFileBackEnd) {
    EXPECT_TRUE(IsEtwLogger(Build(0)));  // no value
    for (DWORD value : {0u, 2u, 0xFFFFFFFFu}) {
        config_.SetDWORDValue(kLoggingMechanismValue, value);
        EXPECT_TRUE(IsEtwLogger(Build(0))) << value;
    }
    EXPECT_TRUE(IsFileLogger(Build(1)));  // forced, whatever the registry holds
    EXPECT_TRUE(IsEtwLogger(Build(2)));   // only exactly 1 forces
    config_.SetDWORDValue(kLoggingMechanismValue, 1);
    EXPECT_TRUE(IsFileLogger(Build(0)));
}

// A missing value, or one of another type, reads as 0.
TEST_F(LogBuilderTest, ConfigKeyWithoutADwordValueReadsAsZero) {
    DWORD value = 0;
    EXPECT_TRUE(ReadLoggingMechanism(&config_, value));
    EXPECT_EQ(value, 0u);
    config_.SetStringValue(kLoggingMechanismValue, L"1");
    EXPECT_TRUE(ReadLoggingMechanism(&config_, value));
    EXPECT_EQ(value, 0u);
}

TEST_F(LogBuilderTest, MachineKeyValueMustBeEnciphered) {
    RemoveMachineMechanism();
    struct Cleanup {
        ~Cleanup() { RemoveMachineMechanism(); }
    } cleanup;
    DWORD value = 0;
    ASSERT_EQ(SetMachineMechanism<Basalt::CObfuscatedRegKey>(1), 0);
    EXPECT_TRUE(ReadLoggingMechanism(nullptr, value));
    EXPECT_EQ(value, 1u);
    EXPECT_TRUE(IsFileLogger(Build(0, /*withConfig=*/false)));
    // A plain value is unreadable through the obfuscated key: ETW.
    ASSERT_EQ(SetMachineMechanism<Basalt::CRegKey>(1), 0);
    value = 0;
    EXPECT_TRUE(ReadLoggingMechanism(nullptr, value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(IsEtwLogger(Build(0, /*withConfig=*/false)));
    RemoveMachineMechanism();
    EXPECT_TRUE(IsEtwLogger(Build(0, /*withConfig=*/false)));
}

TEST(CreateLogger, EmptyNamesOrAnOccupiedOutputFail) {
    CLoggingIf* logger = nullptr;
    EXPECT_FALSE(CreateETWLogger(nullptr, L"", nullptr, nullptr, &logger));
    EXPECT_FALSE(CreateETWLogger(nullptr, L"RQD", nullptr, L"", &logger));
    EXPECT_FALSE(CreateFileLogger(nullptr, L"", nullptr, nullptr, &logger));
    EXPECT_FALSE(CreateFileLogger(nullptr, L"RQD", nullptr, L"", &logger));
    EXPECT_EQ(logger, nullptr);
    ASSERT_TRUE(CreateFileLogger(nullptr, nullptr, nullptr, nullptr, &logger));
    std::unique_ptr<CLoggingIf> owned(logger);
    EXPECT_FALSE(CreateETWLogger(nullptr, L"RQD", nullptr, nullptr, &logger));
    EXPECT_EQ(logger, owned.get());
}

TEST(CreateLogger, FileLoggerComesBackWithOneReference) {
    CLoggingIf* logger = nullptr;
    ASSERT_TRUE(CreateFileLogger(nullptr, L"RQD", nullptr, nullptr, &logger));
    EXPECT_EQ(logger->AddRef(), 2);
    EXPECT_EQ(logger->Release(), 1);
    EXPECT_EQ(logger->Release(), 0);  // deletes itself
}

}  // namespace

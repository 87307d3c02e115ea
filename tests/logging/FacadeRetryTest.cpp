// A facade creation that ends with an exception is tried again by the next request.
// Its own executable: the facade and the foundation logger's registration are process-wide.
#include "logging/LogFacade.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <new>
#include <thread>

#include "basalt/Logging/internal_logging.h"
#include "logging/BasaltLogHandler.h"
#include "logging/LogBuilder.h"

using namespace ETWLogging;

namespace {

// A handler that runs out of memory while it formats, as the default one can: the refusal
// that the facade's creation provokes by registering its bridge ends in bad_alloc.
class OutOfMemoryHandler : public Basalt::ILoggingHandler {
  public:
    void Log(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*) override {
        throw std::bad_alloc();
    }
};

TEST(FacadeRetry, CreationThatThrowsIsTriedAgainByTheNextRequest) {
    ProcessLogIdentity().groupName = L"RQD";
    ProcessLogIdentity().hostName = nullptr;
    OutOfMemoryHandler handler;
    ASSERT_EQ(Basalt::CLogger::RegisterHandler(&handler), 0u);
    EXPECT_THROW(GetLogFacade(), std::bad_alloc);
    ASSERT_EQ(Basalt::CLogger::UnregisterHandler(&handler), 0u);

    // On another thread, so that a guard left locked fails the test instead of hanging it.
    std::packaged_task<CLogFacade*()> retry(GetLogFacade);
    std::future<CLogFacade*> result = retry.get_future();
    std::thread(std::move(retry)).detach();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "the second request waits for ever";
    CLogFacade* facade = result.get();
    ASSERT_NE(facade, nullptr);
    EXPECT_NE(facade->GetLogger(), nullptr);
    EXPECT_EQ(facade->GetRegisteredHandler(), &CBasaltLogHandler::Instance());
}

}  // namespace

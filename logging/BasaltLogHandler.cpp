#include "logging/BasaltLogHandler.h"

#include "logging/LogFacade.h"
#include "logging/LoggingIf.h"

namespace ETWLogging {

void CBasaltLogHandler::Log(DWORD type, const wchar_t* file, const wchar_t* function, int line,
                            const wchar_t* message) {
    CLogFacade* facade = PeekLogFacade();
    if (facade == nullptr) return;
    facade->Write(file, function, line, MapType(type), message);
}

CBasaltLogHandler::~CBasaltLogHandler() {
    CLogFacade* facade = PeekLogFacade();
    if (facade == nullptr || facade->GetRegisteredHandler() == nullptr) return;
    Basalt::ILoggingHandler* handler = facade->GetRegisteredHandler();
    facade->SetRegisteredHandler(nullptr);
    Basalt::CLogger::UnregisterHandler(handler);
}

CBasaltLogHandler& CBasaltLogHandler::Instance() {
    static CBasaltLogHandler instance;
    return instance;
}

DWORD CBasaltLogHandler::MapType(DWORD type) {
    switch (type) {
        case Basalt::kLogTypeNone:
        case Basalt::kLogTypeInfo:
            return kLevelNormal;
        case Basalt::kLogTypeError:
            return kLevelError;
        default:
            return kLevelWarning;
    }
}

}  // namespace ETWLogging

// The service runtime's parts that run outside the service control manager: the control
// handler's answers and its stop messages, and a start that cannot register the handler.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "service/service_main.h"
#include "windows/test_support.h"

namespace zelto {
namespace {

TEST(ControlHandler, AnswersEachControlAndSendsStopOnlyForStopAndShutdown) {
    struct Case {
        DWORD control;
        DWORD result;
        bool stop;
    };
    const Case cases[] = {
        {SERVICE_CONTROL_STOP, NO_ERROR, true},
        {SERVICE_CONTROL_SHUTDOWN, NO_ERROR, true},
        {SERVICE_CONTROL_INTERROGATE, NO_ERROR, false},
        {SERVICE_CONTROL_PAUSE, ERROR_CALL_NOT_IMPLEMENTED, false},
        {SERVICE_CONTROL_CONTINUE, ERROR_CALL_NOT_IMPLEMENTED, false},
        {SERVICE_CONTROL_PRESHUTDOWN, ERROR_CALL_NOT_IMPLEMENTED, false},
        {128, ERROR_CALL_NOT_IMPLEMENTED, false},
        {255, ERROR_CALL_NOT_IMPLEMENTED, false},
    };
    ControlContext context{std::make_shared<StopChannel>()};
    for (const Case& c : cases) {
        const test::LogTail log;
        EXPECT_EQ(control_handler(c.control, 0, nullptr, &context), c.result) << c.control;
        EXPECT_EQ(context.stop->try_receive(), c.stop) << c.control;
        EXPECT_FALSE(context.stop->try_receive()) << c.control;
        const std::vector<std::string> expected_log =
            c.stop ? std::vector<std::string>{"Received stop/shutdown signal"}
                   : std::vector<std::string>{};
        EXPECT_EQ(log.new_lines(), expected_log) << c.control;
    }
}

// Outside a service process the handler cannot be registered: the start ends there, with the
// failure logged once where it happened and once by service_main.
TEST(ServiceMain, RegistrationFailureEndsTheStartWithTwoLines) {
    const test::LogTail log;
    service_main(0, nullptr);
    const std::vector<std::string> expected = {
        "service_main called",
        "run_service_inner starting",
        "Registering service control handler for: Zelto_service",
        "Failed to register service control handler: IO error in winapi call",
        "Service error: Failed to register service control handler: IO error in winapi call",
        "service_main exiting",
    };
    EXPECT_EQ(log.new_lines(), expected);
}

}  // namespace
}  // namespace zelto

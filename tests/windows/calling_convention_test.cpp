// The calling conventions on 32-bit Windows, where a mismatch compiles, links and passes every
// test of the Linux build, then corrupts the stack of a real application: the library's exports
// are __cdecl (the caller removes the arguments), the driver's entry points are __stdcall (the
// callee removes them). Each function is found by its plain exported name, as an application or
// the library finds it, and called through a probe that measures what the callee removed.
#include "board_sim.h"
#include "corvane.h"
#include "d2xx.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

// probeCalleeCleanup(function, slots): pushes `slots` zero words as the arguments, calls
// `function` and returns how many bytes of them the callee removed from the stack. Every argument
// of these functions fits one 4-byte slot. The stack pointer is restored from the frame either
// way, so a wrong guess harms nothing but the answer.
extern "C" std::uint32_t probeCalleeCleanup(const void* function, std::uint32_t slots);
asm(R"(
    .text
    .globl _probeCalleeCleanup
_probeCalleeCleanup:
    pushl %ebp
    movl  %esp, %ebp
    pushl %esi
    movl  8(%ebp), %eax
    movl  12(%ebp), %ecx
1:  testl %ecx, %ecx
    jz    2f
    pushl $0
    decl  %ecx
    jmp   1b
2:  movl  %esp, %esi
    call  *%eax
    movl  %esp, %eax
    subl  %esi, %eax
    leal  -4(%ebp), %esp
    popl  %esi
    popl  %ebp
    ret
)");

namespace {

// Argument slots of a function type: each parameter is widened to at least 4 bytes on the stack.
// Only a function of the compiler's default convention, cdecl, matches the specialisation.
template <typename Signature>
struct Slots {
    static_assert(!std::is_same_v<Signature, Signature>, "an export is no longer declared cdecl");
};
template <typename Result, typename... Parameters>
struct Slots<Result(Parameters...)> {
    static constexpr std::uint32_t value = (0u + ... + static_cast<std::uint32_t>((sizeof(Parameters) + 3) / 4));
};

struct Function {
    std::string name;
    std::uint32_t slots;
};

// The 28 exports. Called with zero arguments while the library is closed, each returns at once;
// NRV_CV_Open and NRV_CV_Close come last, so that nothing else ever runs with the library open.
#define CORVANE_EXPORT(name) Function{#name, Slots<decltype(name)>::value}
const std::vector<Function> kExports = {
    CORVANE_EXPORT(NRV_CV_Initialize), CORVANE_EXPORT(NRV_CV_Release),
    CORVANE_EXPORT(NRV_CV_CheckCompatibility), CORVANE_EXPORT(NRV_CV_GetName),
    CORVANE_EXPORT(NRV_CV_GetVersionString), CORVANE_EXPORT(NRV_CV_GetVersionControl),
    CORVANE_EXPORT(NRV_CV_GetInterfaceVersion), CORVANE_EXPORT(NRV_CV_GetLastError),
    CORVANE_EXPORT(NRV_CV_SetDebugMode), CORVANE_EXPORT(NRV_CV_QueryDevices),
    CORVANE_EXPORT(NRV_CV_GetDeviceName), CORVANE_EXPORT(NRV_CV_GetDeviceSerial),
    CORVANE_EXPORT(NRV_CV_SelectActiveDeviceByIndex), CORVANE_EXPORT(NRV_CV_SelectActiveDeviceByName),
    CORVANE_EXPORT(NRV_CV_OpenDeviceByIndex), CORVANE_EXPORT(NRV_CV_OpenDeviceByName),
    CORVANE_EXPORT(NRV_CV_CloseDeviceByIndex), CORVANE_EXPORT(NRV_CV_CloseDeviceByName),
    CORVANE_EXPORT(NRV_CV_SendTrigger), CORVANE_EXPORT(NRV_CV_SendByte),
    CORVANE_EXPORT(NRV_CV_SendBlock), CORVANE_EXPORT(NRV_CV_SendTransferControlByte),
    CORVANE_EXPORT(NRV_CV_RegisterReadCallback), CORVANE_EXPORT(NRV_CV_RegisterReadCallbackForChannel),
    CORVANE_EXPORT(NRV_CV_LEDBlinky), CORVANE_EXPORT(NRV_CV_PerformSelfTest),
    CORVANE_EXPORT(NRV_CV_Open), CORVANE_EXPORT(NRV_CV_Close),
};
#undef CORVANE_EXPORT

// The 35 entry points, in the binding's order, with the slots their declared parameters take.
} // namespace
namespace d2xx::shapes { // inside d2xx, so that its DWORD hides the one of windows.h
#define D2XX_SHAPE(name, required, params) using name = void params;
D2XX_ENTRY_POINTS(D2XX_SHAPE)
#undef D2XX_SHAPE
} // namespace d2xx::shapes
namespace {
#define D2XX_FUNCTION(name, required, params) Function{#name, Slots<d2xx::shapes::name>::value},
const std::vector<Function> kEntryPoints = {D2XX_ENTRY_POINTS(D2XX_FUNCTION)};
#undef D2XX_FUNCTION

TEST(CallingConvention, ProbeTellsTheTwoConventionsApart) {
    // The probe itself, on functions whose convention the compiler fixed.
    struct Known {
        static int __cdecl cdeclTwo(int a, int b) { return a + b; }
        static int __stdcall stdcallThree(int a, int b, int c) { return a + b + c; }
    };
    EXPECT_EQ(0u, probeCalleeCleanup(reinterpret_cast<const void*>(&Known::cdeclTwo), 2));
    EXPECT_EQ(12u, probeCalleeCleanup(reinterpret_cast<const void*>(&Known::stdcallThree), 3));
}

TEST(CallingConvention, EveryExportLeavesItsArgumentsToTheCaller) {
    ASSERT_EQ(28u, kExports.size());
    HMODULE library = LoadLibraryA("Corvane32.dll"); // as an application that binds at run time
    ASSERT_NE(nullptr, library);
    std::uint32_t withArguments = 0;
    for (const Function& function : kExports) {
        SCOPED_TRACE(function.name);
        FARPROC address = GetProcAddress(library, function.name.c_str());
        ASSERT_NE(nullptr, address) << "not exported under its plain name";
        EXPECT_EQ(0u, probeCalleeCleanup(reinterpret_cast<const void*>(address), function.slots))
            << "takes " << function.slots << " argument slots and must leave them to the caller (cdecl)";
        withArguments += function.slots > 0 ? 1 : 0;
    }
    // Only functions with arguments can tell the conventions apart; most of them have some.
    EXPECT_GE(withArguments, 18u);
}

TEST(CallingConvention, EveryDriverEntryPointRemovesItsOwnArguments) {
    ASSERT_EQ(static_cast<std::size_t>(d2xx::kEntryPointCount), kEntryPoints.size());
    sim_reset(); // no devices: every call refuses its null arguments and returns
    HMODULE driver = GetModuleHandleA("ftd2xx32.dll");
    ASSERT_NE(nullptr, driver);
    std::vector<std::string> absent;
    for (const Function& function : kEntryPoints) {
        SCOPED_TRACE(function.name);
        FARPROC address = GetProcAddress(driver, function.name.c_str());
        if (address == nullptr) {
            absent.push_back(function.name);
            continue;
        }
        EXPECT_EQ(4 * function.slots, probeCalleeCleanup(reinterpret_cast<const void*>(address), function.slots))
            << "takes " << function.slots << " argument slots and must remove them itself (stdcall)";
    }
    // As in the vendor's Windows driver, only the two VID/PID calls are missing.
    EXPECT_EQ((std::vector<std::string>{"FT_SetVIDPID", "FT_GetVIDPID"}), absent);
}

} // namespace

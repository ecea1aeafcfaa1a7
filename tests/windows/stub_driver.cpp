// An incomplete D2XX driver for the binding checks: every entry point of the declarations is
// compiled (each refusing with FT_OTHER_ERROR), and the module-definition file that CMake writes
// for each variant exports all but the ones the variant lacks, under their plain names.
#include "d2xx.h"

namespace d2xx {

#define STUB_ENTRY_POINT(name, required, params)                                                       \
    extern "C" FT_STATUS D2XX_API name params { return FT_OTHER_ERROR; }
D2XX_ENTRY_POINTS(STUB_ENTRY_POINT)
#undef STUB_ENTRY_POINT

} // namespace d2xx

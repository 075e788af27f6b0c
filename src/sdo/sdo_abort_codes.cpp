// The CiA 301 SDO abort codes, in one table.
#include "sdo/sdo_abort_codes.h"

#include "orukiv/orukiv.h"

namespace orukiv {

namespace {

struct AbortCodeText {
    uint32_t code;
    const char* text;
};

constexpr AbortCodeText kAbortCodes[] = {
    {0x05030000u, "toggle bit not alternated"},
    {0x05040000u, "SDO protocol timed out"},
    {0x05040001u, "client/server command specifier not valid or unknown"},
    {0x05040002u, "invalid block size"},
    {0x05040003u, "invalid sequence number"},
    {0x05040004u, "CRC error"},
    {0x05040005u, "out of memory"},
    {0x06010000u, "unsupported access to an object"},
    {0x06010001u, "attempt to read a write only object"},
    {0x06010002u, "attempt to write a read only object"},
    {0x06020000u, "object does not exist in the object dictionary"},
    {0x06040041u, "object cannot be mapped to the PDO"},
    {0x06040042u, "the number and length of the objects to be mapped would exceed PDO length"},
    {0x06040043u, "general parameter incompatibility reason"},
    {0x06040047u, "general internal incompatibility in the device"},
    {0x06060000u, "access failed due to a hardware error"},
    {0x06070010u, "data type does not match, length of service parameter does not match"},
    {0x06070012u, "data type does not match, length of service parameter too high"},
    {0x06070013u, "data type does not match, length of service parameter too low"},
    {0x06090011u, "sub-index does not exist"},
    {0x06090030u, "invalid value for parameter (download only)"},
    {0x06090031u, "value of parameter written too high (download only)"},
    {0x06090032u, "value of parameter written too low (download only)"},
    {0x06090036u, "maximum value is less than minimum value"},
    {0x060A0023u, "resource not available: SDO connection"},
    {0x08000000u, "general error"},
    {0x08000020u, "data cannot be transferred or stored to the application"},
    {0x08000021u,
     "data cannot be transferred or stored to the application because of local control"},
    {0x08000022u,
     "data cannot be transferred or stored to the application because of the present device "
     "state"},
    {0x08000023u, "object dictionary dynamic generation fails or no object dictionary is present"},
    {0x08000024u, "no data available"},
};

}  // namespace

const char* SdoAbortMeaning(uint32_t code) {
    for (const AbortCodeText& e : kAbortCodes)
        if (e.code == code) return e.text;
    return nullptr;
}

}  // namespace orukiv

extern "C" const char* KIV_SdoAbortText(uint32_t abortCode) {
    const char* text = orukiv::SdoAbortMeaning(abortCode);
    return text != nullptr ? text : "unknown abort code";
}

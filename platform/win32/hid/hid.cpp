// The hid library's functions: thin calls into the device behind a HidHandle, as the
// SDK's hid.dll is a thin layer over its class driver.
#include <hidsdi.h>

#include <string.h>

#include "hid/hid_family.h"

using namespace win32;

struct _HIDP_PREPARSED_DATA {
    uint32_t magic;
    HidReportLayout layout;
};

namespace {

const uint32_t kPreparsedMagic = 0x48696450;  // tells our blocks from stray pointers

// A string of the device into the caller's buffer: as much as fits, always terminated.
// Windows fails for a string the device does not have.
BOOLEAN CopyString(HANDLE h, const std::wstring HidDeviceRecord::*member, PVOID Buffer, ULONG BufferLength) {
    std::shared_ptr<HidHandle> hid = LookupHidHandle(h);
    if (!hid)
        return FALSE;
    const std::wstring& text = hid->Device().*member;
    if (!Buffer || BufferLength < sizeof(WCHAR)) {
        ::SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (text.empty()) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const size_t nRoom = BufferLength / sizeof(WCHAR) - 1;
    const size_t nChars = text.size() < nRoom ? text.size() : nRoom;
    WCHAR* pszOut = static_cast<WCHAR*>(Buffer);
    memcpy(pszOut, text.data(), nChars * sizeof(WCHAR));
    pszOut[nChars] = 0;
    return TRUE;
}

}  // namespace

extern "C" void NTAPI HidD_GetHidGuid(LPGUID HidGuid) {
    if (HidGuid)
        *HidGuid = kHidInterfaceGuid;
}

extern "C" BOOLEAN NTAPI HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes) {
    std::shared_ptr<HidHandle> hid = LookupHidHandle(HidDeviceObject);
    if (!hid)
        return FALSE;
    if (!Attributes) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Attributes->Size = sizeof(HIDD_ATTRIBUTES);
    Attributes->VendorID = hid->Device().vendorId;
    Attributes->ProductID = hid->Device().productId;
    Attributes->VersionNumber = hid->Device().versionNumber;
    return TRUE;
}

extern "C" BOOLEAN NTAPI HidD_GetManufacturerString(HANDLE HidDeviceObject, PVOID Buffer,
                                                    ULONG BufferLength) {
    return CopyString(HidDeviceObject, &HidDeviceRecord::manufacturer, Buffer, BufferLength);
}

extern "C" BOOLEAN NTAPI HidD_GetProductString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength) {
    return CopyString(HidDeviceObject, &HidDeviceRecord::product, Buffer, BufferLength);
}

extern "C" BOOLEAN NTAPI HidD_GetSerialNumberString(HANDLE HidDeviceObject, PVOID Buffer,
                                                    ULONG BufferLength) {
    return CopyString(HidDeviceObject, &HidDeviceRecord::serialNumber, Buffer, BufferLength);
}

extern "C" BOOLEAN NTAPI HidD_GetPreparsedData(HANDLE HidDeviceObject, PHIDP_PREPARSED_DATA* PreparsedData) {
    std::shared_ptr<HidHandle> hid = LookupHidHandle(HidDeviceObject);
    if (!hid)
        return FALSE;
    if (!PreparsedData) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!hid->HasLayout()) {
        ::SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    *PreparsedData = new _HIDP_PREPARSED_DATA{kPreparsedMagic, hid->Layout()};
    return TRUE;
}

extern "C" BOOLEAN NTAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA PreparsedData) {
    if (!PreparsedData || PreparsedData->magic != kPreparsedMagic) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PreparsedData->magic = 0;
    delete PreparsedData;
    return TRUE;
}

// The handle's input report queue: 2 to 512 reports, as the class driver takes them.
extern "C" BOOLEAN NTAPI HidD_SetNumInputBuffers(HANDLE HidDeviceObject, ULONG NumberBuffers) {
    std::shared_ptr<HidHandle> hid = LookupHidHandle(HidDeviceObject);
    if (!hid)
        return FALSE;
    if (!hid->SetInputBufferCount(NumberBuffers)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

extern "C" LONG NTAPI HidP_GetCaps(PHIDP_PREPARSED_DATA PreparsedData, PHIDP_CAPS Capabilities) {
    if (!PreparsedData || PreparsedData->magic != kPreparsedMagic || !Capabilities)
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    const HidReportLayout& layout = PreparsedData->layout;
    memset(Capabilities, 0, sizeof(*Capabilities));
    Capabilities->Usage = layout.usage;
    Capabilities->UsagePage = layout.usagePage;
    Capabilities->InputReportByteLength = layout.inputLength;
    Capabilities->OutputReportByteLength = layout.outputLength;
    Capabilities->FeatureReportByteLength = layout.featureLength;
    Capabilities->NumberLinkCollectionNodes = layout.collections;
    Capabilities->NumberInputButtonCaps = layout.buttonCaps[0];
    Capabilities->NumberInputValueCaps = layout.valueCaps[0];
    Capabilities->NumberInputDataIndices = layout.dataIndices[0];
    Capabilities->NumberOutputButtonCaps = layout.buttonCaps[1];
    Capabilities->NumberOutputValueCaps = layout.valueCaps[1];
    Capabilities->NumberOutputDataIndices = layout.dataIndices[1];
    Capabilities->NumberFeatureButtonCaps = layout.buttonCaps[2];
    Capabilities->NumberFeatureValueCaps = layout.valueCaps[2];
    Capabilities->NumberFeatureDataIndices = layout.dataIndices[2];
    return HIDP_STATUS_SUCCESS;
}

// As Windows: the buffer must be as long as the type's reports; it is zeroed and given the
// ID when the device has a report of that type with that ID.
extern "C" LONG NTAPI HidP_InitializeReportForID(HIDP_REPORT_TYPE ReportType, UCHAR ReportID,
                                                 PHIDP_PREPARSED_DATA PreparsedData, PCHAR Report,
                                                 ULONG ReportLength) {
    if (!PreparsedData || PreparsedData->magic != kPreparsedMagic)
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    if (ReportType != HidP_Input && ReportType != HidP_Output && ReportType != HidP_Feature)
        return HIDP_STATUS_INVALID_REPORT_TYPE;
    const HidReportLayout& layout = PreparsedData->layout;
    const uint16_t lengths[3] = {layout.inputLength, layout.outputLength, layout.featureLength};
    if (!Report || ReportLength == 0 || ReportLength != lengths[ReportType])
        return HIDP_STATUS_INVALID_REPORT_LENGTH;
    if (!layout.reportIds[ReportType].test(ReportID))
        return HIDP_STATUS_REPORT_DOES_NOT_EXIST;
    memset(Report, 0, ReportLength);
    Report[0] = (CHAR)ReportID;
    return HIDP_STATUS_SUCCESS;
}

// usbio_api.h: the device interface of the USBIO generic USB driver, interface version 1.41.
//
// An application opens a device through its interface path (enumerated with SetupAPI on
// USBIO_DEVICE_INTERFACE_GUID) or through "\\.\USBIO_Device<n>", with FILE_FLAG_OVERLAPPED,
// and talks to it with the I/O control requests below. A handle bound to an endpoint with
// USBIO_IOCTL_BIND_PIPE becomes a pipe: ReadFile and WriteFile on it are transfers on that
// endpoint. Failures come back from GetLastError as the USBIO_ERR_* codes (or as a plain
// Win32 error where one says it better).
//
// All structures are little-endian, naturally aligned and of fixed size; the sizes given
// here are the sizes the driver checks in DeviceIoControl.
#pragma once

#include <stddef.h>
#include <windows.h>

#ifdef __cplusplus
#define USBIO_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define USBIO_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

// The interface version this header describes; USBIO_IOCTL_GET_DRIVER_INFO reports the
// driver's. An application built against this header accepts no other.
#define USBIO_INTERFACE_VERSION 0x0141

// Device interface class of devices installed under the driver. {1C2A4E98-FB5F-4727-AF55-45D18E8E4DF9}
static const GUID USBIO_DEVICE_INTERFACE_GUID = {
    0x1c2a4e98, 0xfb5f, 0x4727, {0xaf, 0x55, 0x45, 0xd1, 0x8e, 0x8e, 0x4d, 0xf9}};

// Legacy device names, numbered from 0, for applications that do not enumerate.
#define USBIO_DEVICE_NAME_FORMAT "\\\\.\\USBIO_Device%d"

// ---------------------------------------------------------------------------------------
// I/O control codes (device type 0x8094, any access)
// ---------------------------------------------------------------------------------------

// in: none; out: USBIO_DRIVER_INFO
#define USBIO_IOCTL_GET_DRIVER_INFO 0x8094206Cu
// in: USBIO_DESCRIPTOR_REQUEST; out: the descriptor, at most the output size (the count
// returned says how much came)
#define USBIO_IOCTL_GET_DESCRIPTOR 0x80942006u
// in: USBIO_SET_CONFIGURATION; out: none
#define USBIO_IOCTL_SET_CONFIGURATION 0x80942024u
// in: none; out: USBIO_CONFIGURATION_INFO
#define USBIO_IOCTL_GET_CONFIGURATION_INFO 0x80942050u
// in: USBIO_BIND_PIPE; out: none. Turns the handle into a pipe on that endpoint.
#define USBIO_IOCTL_BIND_PIPE 0x80942078u
// in: none; out: none. Aborts every transfer pending on the pipe bound to the handle.
#define USBIO_IOCTL_ABORT_PIPE 0x80942084u
// in: none; out: none. Clears a halt (stall) of the endpoint bound to the handle and resets
// its data toggle, so that the next transfer on the pipe can go through.
#define USBIO_IOCTL_RESET_PIPE 0x80942080u

// ---------------------------------------------------------------------------------------
// Request and reply structures
// ---------------------------------------------------------------------------------------

// Flags of USBIO_DRIVER_INFO.Flags
#define USBIO_INFOFLAG_HIGH_SPEED 0x00000010u      // device runs at high speed
#define USBIO_INFOFLAG_SUPER_SPEED 0x00000020u     // device runs at super speed or faster
#define USBIO_INFOFLAG_VIRTUAL_DEVICE 0x00000100u  // no hardware: a simulated device

typedef struct _USBIO_DRIVER_INFO {
    WORD InterfaceVersion;  // USBIO_INTERFACE_VERSION of the driver (BCD: 0x0141 is 1.41)
    WORD DriverVersion;     // BCD
    DWORD DriverBuild;
    DWORD Flags;  // USBIO_INFOFLAG_*
} USBIO_DRIVER_INFO;

// Recipients of USBIO_DESCRIPTOR_REQUEST.Recipient
#define USBIO_RECIPIENT_DEVICE 0
#define USBIO_RECIPIENT_INTERFACE 1
#define USBIO_RECIPIENT_ENDPOINT 2
#define USBIO_RECIPIENT_OTHER 3

// Standard descriptor types
#define USBIO_DESCRIPTOR_TYPE_DEVICE 0x01
#define USBIO_DESCRIPTOR_TYPE_CONFIGURATION 0x02
#define USBIO_DESCRIPTOR_TYPE_STRING 0x03

typedef struct _USBIO_DESCRIPTOR_REQUEST {
    DWORD Recipient;  // USBIO_RECIPIENT_*
    BYTE DescriptorType;
    BYTE DescriptorIndex;
    WORD LanguageId;
} USBIO_DESCRIPTOR_REQUEST;

// The standard USB device descriptor, as USBIO_IOCTL_GET_DESCRIPTOR returns it.
#define USBIO_DEVICE_DESCRIPTOR_SIZE 18
#define USBIO_DEVICE_DESCRIPTOR_VENDOR_ID_OFFSET 8
#define USBIO_DEVICE_DESCRIPTOR_PRODUCT_ID_OFFSET 10

#define USBIO_MAX_INTERFACES 32
#define USBIO_MAX_PIPES 32

typedef struct _USBIO_INTERFACE_SETTING {
    WORD InterfaceIndex;
    WORD AlternateSettingIndex;
    DWORD MaximumTransferSize;  // largest single transfer on the interface's pipes, in bytes
} USBIO_INTERFACE_SETTING;

// ConfigurationIndex counts the device's configurations from 0 (0 is the first one, not a
// configuration value). Entries past NbOfInterfaces must be zero.
typedef struct _USBIO_SET_CONFIGURATION {
    WORD ConfigurationIndex;
    WORD NbOfInterfaces;
    USBIO_INTERFACE_SETTING InterfaceList[USBIO_MAX_INTERFACES];
} USBIO_SET_CONFIGURATION;

typedef struct _USBIO_INTERFACE_CONFIGURATION_INFO {
    BYTE InterfaceNumber;
    BYTE AlternateSetting;
    BYTE Class;
    BYTE SubClass;
    BYTE Protocol;
    BYTE NumberOfPipes;
    WORD Reserved;
} USBIO_INTERFACE_CONFIGURATION_INFO;

// Pipe types of USBIO_PIPE_CONFIGURATION_INFO.PipeType (the endpoint's transfer type)
#define USBIO_PIPE_TYPE_CONTROL 0
#define USBIO_PIPE_TYPE_ISOCHRONOUS 1
#define USBIO_PIPE_TYPE_BULK 2
#define USBIO_PIPE_TYPE_INTERRUPT 3

typedef struct _USBIO_PIPE_CONFIGURATION_INFO {
    DWORD PipeType;             // USBIO_PIPE_TYPE_*
    DWORD MaximumTransferSize;  // from the interface's USBIO_INTERFACE_SETTING
    WORD MaximumPacketSize;
    BYTE EndpointAddress;  // bit 7 set: IN
    BYTE Interval;
    BYTE InterfaceNumber;
    BYTE AlternateSetting;
    WORD Reserved;
} USBIO_PIPE_CONFIGURATION_INFO;

// What the driver knows of the active configuration; fields it does not know are zero.
typedef struct _USBIO_CONFIGURATION_INFO {
    DWORD NbOfInterfaces;
    DWORD NbOfPipes;
    USBIO_INTERFACE_CONFIGURATION_INFO InterfaceInfo[USBIO_MAX_INTERFACES];
    USBIO_PIPE_CONFIGURATION_INFO PipeInfo[USBIO_MAX_PIPES];
} USBIO_CONFIGURATION_INFO;

typedef struct _USBIO_BIND_PIPE {
    BYTE EndpointAddress;  // bit 7 set: IN
} USBIO_BIND_PIPE;

USBIO_STATIC_ASSERT(sizeof(USBIO_DRIVER_INFO) == 12, "driver info is 12 bytes");
USBIO_STATIC_ASSERT(sizeof(USBIO_DESCRIPTOR_REQUEST) == 8, "descriptor request is 8 bytes");
USBIO_STATIC_ASSERT(sizeof(USBIO_INTERFACE_SETTING) == 8, "interface setting is 8 bytes");
USBIO_STATIC_ASSERT(sizeof(USBIO_SET_CONFIGURATION) == 260, "configuration request is 260 bytes");
USBIO_STATIC_ASSERT(sizeof(USBIO_INTERFACE_CONFIGURATION_INFO) == 8, "interface info is 8 bytes");
USBIO_STATIC_ASSERT(sizeof(USBIO_PIPE_CONFIGURATION_INFO) == 16, "pipe info is 16 bytes");
USBIO_STATIC_ASSERT(sizeof(USBIO_CONFIGURATION_INFO) == 776, "configuration info is 776 bytes");
USBIO_STATIC_ASSERT(sizeof(USBIO_BIND_PIPE) == 1, "bind request is 1 byte");
USBIO_STATIC_ASSERT(offsetof(USBIO_DRIVER_INFO, Flags) == 8, "driver flags at offset 8");
USBIO_STATIC_ASSERT(offsetof(USBIO_CONFIGURATION_INFO, PipeInfo) == 264, "pipe entries at offset 264");
USBIO_STATIC_ASSERT(offsetof(USBIO_PIPE_CONFIGURATION_INFO, EndpointAddress) == 10,
                    "endpoint address at byte 10 of a pipe entry");

// ---------------------------------------------------------------------------------------
// Status codes, returned through GetLastError
// ---------------------------------------------------------------------------------------

#define USBIO_ERR_SUCCESS 0x00000000u

// Host controller
#define USBIO_ERR_CRC 0xE0000001u
#define USBIO_ERR_BTSTUFF 0xE0000002u
#define USBIO_ERR_DATA_TOGGLE_MISMATCH 0xE0000003u
#define USBIO_ERR_STALL_PID 0xE0000004u
#define USBIO_ERR_DEV_NOT_RESPONDING 0xE0000005u
#define USBIO_ERR_PID_CHECK_FAILURE 0xE0000006u
#define USBIO_ERR_UNEXPECTED_PID 0xE0000007u
#define USBIO_ERR_DATA_OVERRUN 0xE0000008u
#define USBIO_ERR_DATA_UNDERRUN 0xE0000009u
#define USBIO_ERR_RESERVED1 0xE000000Au
#define USBIO_ERR_RESERVED2 0xE000000Bu
#define USBIO_ERR_BUFFER_OVERRUN 0xE000000Cu
#define USBIO_ERR_BUFFER_UNDERRUN 0xE000000Du
#define USBIO_ERR_NOT_ACCESSED 0xE000000Fu
#define USBIO_ERR_FIFO 0xE0000010u

// USB bus driver
#define USBIO_ERR_ENDPOINT_HALTED 0xE0000030u
#define USBIO_ERR_NO_MEMORY 0xE0000100u
#define USBIO_ERR_INVALID_URB_FUNCTION 0xE0000200u
#define USBIO_ERR_INVALID_PARAMETER 0xE0000300u
#define USBIO_ERR_ERROR_BUSY 0xE0000400u
#define USBIO_ERR_REQUEST_FAILED 0xE0000500u
#define USBIO_ERR_INVALID_PIPE_HANDLE 0xE0000600u
#define USBIO_ERR_NO_BANDWIDTH 0xE0000700u
#define USBIO_ERR_INTERNAL_HC_ERROR 0xE0000800u
#define USBIO_ERR_ERROR_SHORT_TRANSFER 0xE0000900u
#define USBIO_ERR_BAD_START_FRAME 0xE0000A00u
#define USBIO_ERR_ISOCH_REQUEST_FAILED 0xE0000B00u
#define USBIO_ERR_FRAME_CONTROL_OWNED 0xE0000C00u
#define USBIO_ERR_FRAME_CONTROL_NOT_OWNED 0xE0000D00u
#define USBIO_ERR_CANCELED 0xE0010000u
#define USBIO_ERR_CANCELING 0xE0020000u

// Driver
#define USBIO_ERR_FAILED 0xE0001000u
#define USBIO_ERR_INVALID_INBUFFER 0xE0001001u
#define USBIO_ERR_INVALID_OUTBUFFER 0xE0001002u
#define USBIO_ERR_OUT_OF_MEMORY 0xE0001003u
#define USBIO_ERR_PENDING_REQUESTS 0xE0001004u
#define USBIO_ERR_ALREADY_CONFIGURED 0xE0001005u
#define USBIO_ERR_NOT_CONFIGURED 0xE0001006u
#define USBIO_ERR_OPEN_PIPES 0xE0001007u
#define USBIO_ERR_ALREADY_BOUND 0xE0001008u
#define USBIO_ERR_NOT_BOUND 0xE0001009u
#define USBIO_ERR_DEVICE_NOT_PRESENT 0xE000100Au
#define USBIO_ERR_CONTROL_NOT_SUPPORTED 0xE000100Bu
#define USBIO_ERR_TIMEOUT 0xE000100Cu
#define USBIO_ERR_INVALID_RECIPIENT 0xE000100Du
#define USBIO_ERR_INVALID_TYPE 0xE000100Eu
#define USBIO_ERR_INVALID_IOCTL 0xE000100Fu
#define USBIO_ERR_INVALID_DIRECTION 0xE0001010u
#define USBIO_ERR_TOO_MUCH_ISO_PACKETS 0xE0001011u
#define USBIO_ERR_POOL_EMPTY 0xE0001012u
#define USBIO_ERR_PIPE_NOT_FOUND 0xE0001013u
#define USBIO_ERR_INVALID_ISO_PACKET 0xE0001014u
#define USBIO_ERR_OUT_OF_ADDRESS_SPACE 0xE0001015u
#define USBIO_ERR_INTERFACE_NOT_FOUND 0xE0001016u
#define USBIO_ERR_INVALID_DEVICE_STATE 0xE0001017u
#define USBIO_ERR_INVALID_PARAM 0xE0001018u
#define USBIO_ERR_INVALID_POWER_STATE 0xE000101Au
#define USBIO_ERR_POWER_DOWN 0xE000101Bu
#define USBIO_ERR_VERSION_MISMATCH 0xE000101Cu
#define USBIO_ERR_SET_CONFIG_FAILED 0xE000101Du

// Application library
#define USBIO_ERR_DEVICE_NOT_FOUND 0xE0001100u
#define USBIO_ERR_DEVICE_NOT_OPENED 0xE0001102u
#define USBIO_ERR_NO_SUCH_DEVICE_INSTANCE 0xE0001104u
#define USBIO_ERR_INVALID_FUNCTION_PARAM 0xE0001105u

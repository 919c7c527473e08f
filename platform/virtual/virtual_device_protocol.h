/* The message protocol of virtual devices: a device server (termsim) on one side, the
 * platform layer's virtual backends on the other, over a Unix socket of type
 * SOCK_SEQPACKET. This header is a transport contract shared by both sides; it holds plain
 * C types only, so a C or C++ program on any platform can include it.
 *
 * Sockets. The server listens on a path; the client finds it in an environment variable,
 * one per device family (IOCLASSLIB_VIRTUAL_HID for HID devices, IOCLASSLIB_VIRTUAL_USBIO
 * for USBIO devices). The client connects as often as it likes: one short-lived connection
 * to enumerate and read identities, one long-lived connection to watch for plug and unplug
 * notifications, and one connection per opened device.
 *
 * Messages. Each datagram carries exactly one message: a vdev_header, then `length` bytes
 * of payload. A datagram whose size is not sizeof(vdev_header) + length, or whose length
 * passes VDEV_MAX_PAYLOAD, is a protocol error: the receiver drops the message (a server
 * answers VDEV_MSG_ERROR with VDEV_ERROR_BAD_MESSAGE). Fields are in host byte order (both
 * ends run on one machine). Unknown message types are answered with VDEV_MSG_ERROR /
 * VDEV_ERROR_UNSUPPORTED by the server and ignored by the client, so either side may grow.
 *
 * Requests and replies. Every request the client sends carries a `tag` of its choosing;
 * the server's reply (or VDEV_MSG_ERROR) carries the same tag, so replies can be matched
 * even while unsolicited messages (input reports, notifications) arrive in between.
 * Unsolicited messages carry tag 0.
 *
 * The `device` field is the device's index in the server's list, as VDEV_MSG_DEVICE_ENTRY
 * gives it. An index names one device for the whole life of the server: a device that is
 * unplugged keeps its index and gets it back when it is plugged in again.
 *
 * Conversation of a HID device:
 *
 *   client                                  server
 *   VDEV_MSG_LIST                ->
 *                                <-         VDEV_MSG_DEVICE_ENTRY   (one per device present)
 *                                <-         VDEV_MSG_LIST_END
 *   VDEV_MSG_HID_GET_IDENTITY    ->
 *                                <-         VDEV_MSG_HID_IDENTITY
 *   VDEV_MSG_HID_GET_DESCRIPTOR  ->
 *                                <-         VDEV_MSG_HID_DESCRIPTOR
 *   VDEV_MSG_OPEN                ->
 *                                <-         VDEV_MSG_OPENED          (this connection now
 *                                                                     carries the device's
 *                                                                     reports)
 *   VDEV_MSG_HID_OUTPUT_REPORT   ->
 *                                <-         VDEV_MSG_HID_OUTPUT_TAKEN (once the device has
 *                                                                     taken the report)
 *                                <-         VDEV_MSG_HID_INPUT_REPORT (whenever the device
 *                                                                     has one)
 *   VDEV_MSG_WATCH               ->
 *                                <-         VDEV_MSG_WATCHING        (this connection now
 *                                                                     gets the notifications)
 *                                <-         VDEV_MSG_UNPLUGGED / VDEV_MSG_PLUGGED
 *
 * Reports travel as a hidraw node carries them: a device with numbered reports sends and
 * receives every report with its report ID in the first byte; a device without report IDs
 * sends and receives the report data alone. The client adds and strips what Windows
 * callers expect.
 *
 * Unplugging. When a device goes away the server sends VDEV_MSG_UNPLUGGED to every watching
 * connection and closes every connection that has the device open (the client sees the
 * hang-up and fails what is pending on that device). Plugging it in again sends
 * VDEV_MSG_PLUGGED to every watching connection; the client then opens the device anew.
 * VDEV_MSG_OPEN on a device that is not present is answered with VDEV_ERROR_NOT_PRESENT.
 *
 * Output reports. A write is complete once the device has taken the report, as a device
 * acknowledges an interrupt OUT transfer: the server answers each VDEV_MSG_HID_OUTPUT_REPORT
 * with VDEV_MSG_HID_OUTPUT_TAKEN and the report's tag when its device takes it. A device
 * that is not ready (a real one NAKs) answers later, or never, and the write waits. The
 * client sends the next report of a connection only once the last was taken or given up;
 * it passes over an answer for a report it gave up.
 *
 * Input reports. The host controller fetches at most one input report per polling
 * interval of the device's interrupt IN endpoint (bInterval: 1 ms at the least at full
 * speed), so a server sends each device's input reports at most that often, however many
 * it has ready, and keeps what a connection's socket does not take (a client that reads
 * slowly) until the socket takes it: a slow reader is never hung up on.
 */
#ifndef VIRTUAL_DEVICE_PROTOCOL_H
#define VIRTUAL_DEVICE_PROTOCOL_H

#include <stdint.h>

#define VDEV_PROTOCOL_VERSION 2

/* Largest payload of one message. A HID report descriptor and a HID report are at most
 * 4096 bytes; USBIO transfers above this are split by the sender. */
#define VDEV_MAX_PAYLOAD 4096u

/* Environment variables naming the server sockets. */
#define VDEV_ENV_HID "IOCLASSLIB_VIRTUAL_HID"
#define VDEV_ENV_USBIO "IOCLASSLIB_VIRTUAL_USBIO"

/* Device families, as VDEV_MSG_DEVICE_ENTRY reports them. */
#define VDEV_FAMILY_HID 1u
#define VDEV_FAMILY_USBIO 2u

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vdev_header {
    uint16_t type;   /* VDEV_MSG_... */
    uint16_t device; /* index in the server's device list; 0 where no device is meant */
    uint16_t flags;  /* 0; reserved for message types that define flags */
    uint16_t reserved;
    uint32_t tag;    /* chosen by the requester, echoed by the reply; 0 when unsolicited */
    uint32_t length; /* payload bytes after the header */
} vdev_header;

/* ---- Messages of every family: 0x0001 to 0x00FF ------------------------------------ */

/* client -> server, no payload: list the devices present. */
#define VDEV_MSG_LIST 0x0001u
/* server -> client, payload vdev_device_entry; `device` is the entry's index. */
#define VDEV_MSG_DEVICE_ENTRY 0x0002u
/* server -> client, no payload: the list is complete. */
#define VDEV_MSG_LIST_END 0x0003u
/* client -> server, no payload: attach this connection to `device`. Replied with
 * VDEV_MSG_OPENED or VDEV_MSG_ERROR. A device may be open on several connections; as each
 * Windows handle of a HID device gets its own copy of every input report, the server sends
 * each input report to every connection that has the device open. */
#define VDEV_MSG_OPEN 0x0004u
#define VDEV_MSG_OPENED 0x0005u
/* client -> server, no payload: send plug and unplug notifications on this connection.
 * Replied with VDEV_MSG_WATCHING. */
#define VDEV_MSG_WATCH 0x0006u
#define VDEV_MSG_WATCHING 0x0007u
/* server -> client, no payload: `device` has gone away / has come back. */
#define VDEV_MSG_UNPLUGGED 0x0010u
#define VDEV_MSG_PLUGGED 0x0011u
/* server -> client, payload vdev_error: the request with this tag failed. */
#define VDEV_MSG_ERROR 0x00FFu

typedef struct vdev_device_entry {
    uint16_t family; /* VDEV_FAMILY_... */
    uint16_t reserved;
    /* Unique within the server and stable across unplug and plug: the client builds the
     * device's path from it, so a device plugged in again gets its old path back. */
    uint32_t id;
} vdev_device_entry;

#define VDEV_ERROR_BAD_MESSAGE 1u
#define VDEV_ERROR_UNSUPPORTED 2u
#define VDEV_ERROR_NO_DEVICE 3u   /* no device with this index */
#define VDEV_ERROR_NOT_PRESENT 4u /* the device is unplugged */
#define VDEV_ERROR_WRONG_FAMILY 5u

typedef struct vdev_error {
    uint32_t code; /* VDEV_ERROR_... */
} vdev_error;

/* ---- HID devices: 0x0100 to 0x01FF ------------------------------------------------- */

/* client -> server, no payload. Replied with VDEV_MSG_HID_IDENTITY. */
#define VDEV_MSG_HID_GET_IDENTITY 0x0100u
/* server -> client, payload vdev_hid_identity. */
#define VDEV_MSG_HID_IDENTITY 0x0101u
/* client -> server, no payload. Replied with VDEV_MSG_HID_DESCRIPTOR. */
#define VDEV_MSG_HID_GET_DESCRIPTOR 0x0102u
/* server -> client, payload: the report descriptor's bytes (1 to VDEV_MAX_PAYLOAD). */
#define VDEV_MSG_HID_DESCRIPTOR 0x0103u
/* client -> server on an open connection, payload: one output report. Answered with
 * VDEV_MSG_HID_OUTPUT_TAKEN when the device takes it. */
#define VDEV_MSG_HID_OUTPUT_REPORT 0x0110u
/* server -> client on an open connection, payload: one input report, unsolicited. */
#define VDEV_MSG_HID_INPUT_REPORT 0x0111u
/* server -> client on an open connection, no payload: the device has taken the output
 * report with this tag. */
#define VDEV_MSG_HID_OUTPUT_TAKEN 0x0112u

#define VDEV_HID_STRING_BYTES 64u

typedef struct vdev_hid_identity {
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t version_number; /* bcdDevice */
    uint16_t reserved;
    /* UTF-8, NUL-padded; a string that fills the field has no NUL. Empty: the device has
     * no such string. */
    char manufacturer[VDEV_HID_STRING_BYTES];
    char product[VDEV_HID_STRING_BYTES];
    char serial_number[VDEV_HID_STRING_BYTES];
} vdev_hid_identity;

/* ---- USBIO devices: 0x0200 to 0x02FF ------------------------------------------------
 * Reserved for the generic USB family (device and configuration descriptors, control
 * requests, bulk and interrupt transfers per endpoint, stall and reset). Declared here, in
 * this section only. */

#define VDEV_MSG_USBIO_FIRST 0x0200u
#define VDEV_MSG_USBIO_LAST 0x02FFu

/* A generic USB device: standard control requests on endpoint 0 (its descriptors among
 * them) and transfers on its bulk and interrupt endpoints.
 *
 *   client                                  server
 *   VDEV_MSG_USBIO_GET_DRIVER_INFO  ->                               (any connection)
 *                                   <-      VDEV_MSG_USBIO_DRIVER_INFO
 *   VDEV_MSG_USBIO_CONTROL          ->                               (any connection)
 *                                   <-      VDEV_MSG_USBIO_CONTROL_DONE
 *   VDEV_MSG_OPEN                   ->
 *                                   <-      VDEV_MSG_OPENED
 *   VDEV_MSG_USBIO_TRANSFER         ->                               (open connection)
 *                                   <-      VDEV_MSG_USBIO_TRANSFER_DONE
 *   VDEV_MSG_USBIO_CANCEL           ->                               (tag: the transfer's)
 *
 * Control requests carry the 8-byte setup packet and, host to device, its data. The device
 * answers the standard requests it knows (GET_DESCRIPTOR for its device, configuration
 * and string descriptors, SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE(ENDPOINT_HALT),
 * GET_STATUS); any other request ends with VDEV_USBIO_STALL, as a device stalls it.
 *
 * Transfers. Every VDEV_MSG_USBIO_TRANSFER gets exactly one VDEV_MSG_USBIO_TRANSFER_DONE
 * with its tag; transfers on one endpoint complete in the order they were sent. OUT: the
 * data follows the vdev_usbio_transfer, done when the device has taken it. IN: `length`
 * is the count wanted; the device fills the transfer packet by packet, each packet at most
 * the endpoint's wMaxPacketSize of what it has at that moment, and the transfer ends with
 * a packet shorter than wMaxPacketSize (a zero-length one too) or when the count wanted is
 * reached; the data follows the DONE's vdev_usbio_transfer. A packet bigger than the room
 * left in the transfer ends it with VDEV_USBIO_OVERFLOW, and the packet is lost, as a host
 * controller's overrun loses it. A halted endpoint fails every transfer with
 * VDEV_USBIO_STALL until CLEAR_FEATURE(ENDPOINT_HALT). One message carries at most
 * VDEV_USBIO_MAX_DATA bytes of data: the client splits longer transfers.
 *
 * VDEV_MSG_USBIO_CANCEL ends the transfer with that tag at once: its DONE comes with
 * VDEV_USBIO_CANCELLED and the bytes it had moved. A CANCEL for a transfer that is done
 * already is ignored; it has no reply of its own. */

/* client -> server, no payload. Replied with VDEV_MSG_USBIO_DRIVER_INFO. */
#define VDEV_MSG_USBIO_GET_DRIVER_INFO 0x0200u
/* server -> client, payload vdev_usbio_driver_info. */
#define VDEV_MSG_USBIO_DRIVER_INFO 0x0201u
/* client -> server, payload vdev_usbio_setup and, host to device, its data. */
#define VDEV_MSG_USBIO_CONTROL 0x0202u
/* server -> client, payload vdev_usbio_transfer (endpoint 0) and, device to host, the data. */
#define VDEV_MSG_USBIO_CONTROL_DONE 0x0203u
/* client -> server on an open connection, payload vdev_usbio_transfer (OUT: and the data). */
#define VDEV_MSG_USBIO_TRANSFER 0x0210u
/* server -> client, payload vdev_usbio_transfer (IN: and the data). */
#define VDEV_MSG_USBIO_TRANSFER_DONE 0x0211u
/* client -> server, no payload; `tag` names the transfer. No reply. */
#define VDEV_MSG_USBIO_CANCEL 0x0212u

/* vdev_usbio_transfer.status */
#define VDEV_USBIO_OK 0u
#define VDEV_USBIO_STALL 1u /* the endpoint is halted, or the request was refused */
#define VDEV_USBIO_CANCELLED 2u
#define VDEV_USBIO_NO_ENDPOINT 3u /* no such endpoint in the active configuration */
#define VDEV_USBIO_OVERFLOW 4u    /* a packet did not fit the room left in the IN transfer */

typedef struct vdev_usbio_driver_info {
    uint16_t interface_version; /* the interface version the driver reports (BCD) */
    uint16_t reserved;
} vdev_usbio_driver_info;

typedef struct vdev_usbio_setup {
    uint8_t request_type; /* bmRequestType; bit 7 set: device to host */
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
} vdev_usbio_setup;

typedef struct vdev_usbio_transfer {
    uint8_t endpoint; /* bit 7 set: IN; 0 for a control request */
    uint8_t reserved[3];
    uint32_t status; /* VDEV_USBIO_...; 0 in a request */
    /* TRANSFER: OUT bytes following, or IN bytes wanted; DONE: bytes moved (IN: following) */
    uint32_t length;
} vdev_usbio_transfer;

#define VDEV_USBIO_MAX_DATA (VDEV_MAX_PAYLOAD - 12u)

#ifdef __cplusplus
} /* extern "C" */
#endif

#ifdef __cplusplus
static_assert(sizeof(vdev_header) == 16, "vdev_header is 16 bytes on every platform");
static_assert(sizeof(vdev_hid_identity) == 8 + 3 * VDEV_HID_STRING_BYTES, "no padding");
#else
_Static_assert(sizeof(vdev_header) == 16, "vdev_header is 16 bytes on every platform");
_Static_assert(sizeof(vdev_hid_identity) == 8 + 3 * VDEV_HID_STRING_BYTES, "no padding");
#endif
#ifdef __cplusplus
static_assert(sizeof(vdev_usbio_setup) == 8 && sizeof(vdev_usbio_transfer) == 12, "no padding");
#else
_Static_assert(sizeof(vdev_usbio_setup) == 8 && sizeof(vdev_usbio_transfer) == 12, "no padding");
#endif

#endif /* VIRTUAL_DEVICE_PROTOCOL_H */

// Host kernel: the internal USB control codes.
#pragma once
#include <usb.h>

#define USB_SUBMIT_URB 0
#define USB_GET_PORT_STATUS 4
#define IOCTL_INTERNAL_USB_SUBMIT_URB                                                                        \
    CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x00220003, "IOCTL_INTERNAL_USB_SUBMIT_URB");

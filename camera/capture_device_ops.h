#pragma once
// The system calls through which the camera layer reaches a V4L2 device.
// Tests put an in-process fake device behind the real code by swapping the
// table; nothing else in the layer calls these functions directly.
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

struct CaptureDeviceOps {
  int (*open)(const char* path, int flags);
  int (*ioctl)(int fd, unsigned long request, void* argument);
  void* (*mmap)(void* address, size_t length, int protection, int flags, int fd, off_t offset);
  int (*munmap)(void* address, size_t length);
  int (*poll)(pollfd* fds, nfds_t count, int timeoutMs);
  int (*close)(int fd);
  // What a path is (a device node is a character device).
  int (*stat)(const char* path, struct stat* status);
};

extern const CaptureDeviceOps systemDeviceOps;

const CaptureDeviceOps& captureDeviceOps();
// nullptr restores the system calls.
void setCaptureDeviceOps(const CaptureDeviceOps* ops);

// Folder scanned for videoN nodes ("/dev" unless a test says otherwise).
const char* videoDeviceFolder();
void setVideoDeviceFolder(const char* folder);

// ioctl through the table, retried while interrupted by a signal.
int deviceIoctl(int fd, unsigned long request, void* argument);

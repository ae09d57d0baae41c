#include "camera/capture_device_ops.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {
int systemOpen(const char* path, int flags) { return ::open(path, flags); }
int systemIoctl(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }
int systemClose(int fd) { return ::close(fd); }
int systemStat(const char* path, struct stat* status) { return ::stat(path, status); }

const CaptureDeviceOps* currentOps = &systemDeviceOps;
std::string deviceFolder = "/dev";
}  // namespace

const CaptureDeviceOps systemDeviceOps = {systemOpen, systemIoctl, ::mmap,    ::munmap,
                                          ::poll,     systemClose, systemStat};

const CaptureDeviceOps& captureDeviceOps() { return *currentOps; }

void setCaptureDeviceOps(const CaptureDeviceOps* ops) { currentOps = ops ? ops : &systemDeviceOps; }

const char* videoDeviceFolder() { return deviceFolder.c_str(); }

void setVideoDeviceFolder(const char* folder) { deviceFolder = folder ? folder : "/dev"; }

int deviceIoctl(int fd, unsigned long request, void* argument) {
  int result;
  do {
    result = currentOps->ioctl(fd, request, argument);
  } while (result < 0 && errno == EINTR);
  return result;
}

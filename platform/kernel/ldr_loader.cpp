// Driver loader: a driver is a shared object exporting DriverEntry (or a
// built-in driver registered with its entry point). Loading hands it a
// DRIVER_OBJECT whose 28 dispatch entries all answer
// STATUS_INVALID_DEVICE_REQUEST until the driver fills them, and the
// registry path of its service key, valid only during DriverEntry.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstring>

#include "kernel/ke_internal.h"
#include "kernel/kernel_parts.h"

using hs::Kernel;
using hs::Machine;

namespace hs {
namespace {

constexpr CSHORT kIoTypeDriver = 4;

// Images left open by a kernel that went away: a thread of the old machine
// might still have been inside one. They are closed once the next kernel is
// built, when the old machine and its threads are surely gone.
std::vector<void*>& images_to_close() {
  static std::vector<void*> images;
  return images;
}

NTSTATUS NTAPI invalid_device_request(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::string program_directory() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = 0;
  std::string text = path;
  return text.substr(0, text.rfind('/'));
}

struct ImageRange {
  const char* name;
  ElfW(Addr) bias;
  uintptr_t begin = UINTPTR_MAX, end = 0;
};

void find_image_range(void* handle, LoadedDriver& driver) {
  struct link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return;
  ImageRange range{map->l_name, map->l_addr};
  dl_iterate_phdr(
      [](struct dl_phdr_info* info, size_t, void* data) -> int {
        auto* r = static_cast<ImageRange*>(data);
        if (info->dlpi_addr != r->bias || std::strcmp(info->dlpi_name, r->name) != 0) return 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const auto& ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_LOAD) continue;
          uintptr_t b = info->dlpi_addr + ph.p_vaddr;
          r->begin = std::min(r->begin, b);
          r->end = std::max(r->end, static_cast<uintptr_t>(b + ph.p_memsz));
        }
        return 1;
      },
      &range);
  if (range.end > range.begin) {
    driver.image_begin = range.begin;
    driver.image_end = range.end;
  }
}

void trace_note(const std::string& text) {
  TraceEvent event;
  event.ev = "note";
  event.add("text", text);
  event.text = text;
  Machine::current().trace().emit(std::move(event));
}

}  // namespace

DriverLoader::~DriverLoader() {
  for (auto& d : drivers_)
    if (d->handle != nullptr && !d->unloaded) images_to_close().push_back(d->handle);
}

void DriverLoader::register_builtin(std::string name, PDRIVER_INITIALIZE entry) {
  builtins_[std::move(name)] = entry;
}

PDRIVER_OBJECT DriverLoader::load(const std::string& name) {
  for (void* image : images_to_close()) dlclose(image);
  images_to_close().clear();
  if (PDRIVER_OBJECT existing = find(name)) return existing;
  Machine& m = kernel_.machine();
  if (m.irql() != PASSIVE_LEVEL) {
    ke_violation("service called above its IRQL",
                 "driver load at IRQL " + std::to_string(m.irql()));
  }
  auto driver = std::make_unique<LoadedDriver>();
  driver->name = name.substr(name.rfind('/') + 1);
  if (driver->name.size() > 3 && driver->name.ends_with(".so"))
    driver->name.resize(driver->name.size() - 3);
  PDRIVER_INITIALIZE entry = nullptr;
  if (auto it = builtins_.find(name); it != builtins_.end()) {
    entry = it->second;
  } else {
    std::string path = name;
    if (name.find('/') == std::string::npos) {
      std::string dir = kernel_.options().driver_directory;
      if (dir.empty()) dir = program_directory();
      path = dir + "/" + name + ".so";
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* error = dlerror();
      trace_note("load of driver " + name + " failed: " + (error ? error : "?"));
      return nullptr;
    }
    entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(handle, "DriverEntry"));
    if (entry == nullptr) {
      trace_note("driver image " + path + " exports no DriverEntry");
      dlclose(handle);
      return nullptr;
    }
    driver->handle = handle;
    find_image_range(handle, *driver);
  }
  LoadedDriver& d = *driver;
  drivers_.push_back(std::move(driver));
  d.object.Type = kIoTypeDriver;
  d.object.Size = sizeof(DRIVER_OBJECT);
  d.object.DriverExtension = &d.extension;
  d.extension.DriverObject = &d.object;
  d.name_text = u"\\Driver\\" + std::u16string(d.name.begin(), d.name.end());
  d.object.DriverName.Buffer = reinterpret_cast<PWSTR>(d.name_text.data());
  d.object.DriverName.Length = static_cast<USHORT>(d.name_text.size() * sizeof(char16_t));
  d.object.DriverName.MaximumLength = d.object.DriverName.Length;
  d.object.DriverInit = entry;
  for (auto& dispatch : d.object.MajorFunction) dispatch = invalid_device_request;
  d.registry_text = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" +
                    std::u16string(d.name.begin(), d.name.end());
  d.registry_path.Buffer = reinterpret_cast<PWSTR>(d.registry_text.data());
  d.registry_path.Length = static_cast<USHORT>(d.registry_text.size() * sizeof(char16_t));
  d.registry_path.MaximumLength = static_cast<USHORT>(d.registry_path.Length + sizeof(char16_t));
  NTSTATUS status = entry(&d.object, &d.registry_path);
  // The path is the caller's: a driver that keeps it must copy it.
  for (char16_t& c : d.registry_text) c = u'\xDFDF';
  if (m.irql() != PASSIVE_LEVEL) {
    ke_violation("driver routine returned at raised IRQL",
                 "DriverEntry of " + d.name + " returned at IRQL " + std::to_string(m.irql()));
  }
  trace_note("driver " + d.name + " loaded, DriverEntry returned " +
             hex32(static_cast<ULONG>(status)));
  if (!NT_SUCCESS(status)) {
    d.unloaded = true;
    if (d.handle != nullptr) {
      std::string held = kernel_.pool().held_by(d.name);
      if (!held.empty()) {
        ke_violation("pool still held at unload",
                     d.name + " failed DriverEntry and still holds pool:\n" + held);
      }
      dlclose(d.handle);
      d.handle = nullptr;
    }
    return nullptr;
  }
  return &d.object;
}

bool DriverLoader::unload(PDRIVER_OBJECT object) {
  LoadedDriver* d = loaded(object);
  if (d == nullptr || d->unloaded) {
    ke_violation("not a driver object", "unload of " + pointer_text(object));
  }
  if (object->DeviceObject != nullptr) return false;
  Machine& m = kernel_.machine();
  if (object->DriverUnload != nullptr) {
    object->DriverUnload(object);
    if (m.irql() != PASSIVE_LEVEL) {
      ke_violation("driver routine returned at raised IRQL",
                   "DriverUnload of " + d->name + " returned at IRQL " + std::to_string(m.irql()));
    }
  }
  std::string held = kernel_.pool().held_by(d->name);
  if (!held.empty()) {
    ke_violation("pool still held at unload", d->name + " unloaded holding pool:\n" + held);
  }
  if (d->image_end > d->image_begin) {
    auto* begin = reinterpret_cast<const char*>(d->image_begin);
    auto* end = reinterpret_cast<const char*>(d->image_end);
    std::string live = ke_live_objects_in(begin, end) + kernel_.workers().queued_in(begin, end);
    if (!live.empty()) {
      ke_violation("kernel objects still queued at unload", d->name + " unloaded while " + live);
    }
    ke_forget_objects_in(begin, end);
  }
  trace_note("driver " + d->name + " unloaded");
  d->unloaded = true;
  if (d->handle != nullptr) {
    dlclose(d->handle);
    d->handle = nullptr;
  }
  return true;
}

PDRIVER_OBJECT DriverLoader::find(std::string_view name) const {
  for (auto& d : drivers_)
    if (!d->unloaded && d->name == name) return &d->object;
  return nullptr;
}

LoadedDriver* DriverLoader::loaded(const DRIVER_OBJECT* object) const {
  for (auto& d : drivers_)
    if (&d->object == object) return d.get();
  return nullptr;
}

LoadedDriver* DriverLoader::image_at(const void* address) const {
  auto p = reinterpret_cast<uintptr_t>(address);
  for (auto& d : drivers_)
    if (!d->unloaded && p >= d->image_begin && p < d->image_end) return d.get();
  return nullptr;
}

std::string DriverLoader::owner_of(const void* address) const {
  LoadedDriver* d = image_at(address);
  return d ? d->name : std::string();
}

std::vector<LoadedDriver*> DriverLoader::drivers() const {
  std::vector<LoadedDriver*> out;
  for (auto& d : drivers_) out.push_back(d.get());
  return out;
}

}  // namespace hs

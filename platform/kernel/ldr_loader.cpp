// Driver loader: a driver is a shared object exporting DriverEntry (or a
// built-in driver registered with its entry point). Loading hands it a
// DRIVER_OBJECT whose 28 dispatch entries all answer
// STATUS_INVALID_DEVICE_REQUEST until the driver fills them, and the
// registry path of its service key, valid only during DriverEntry.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#ifdef HS_LOADER_KEEP_IMAGES
#include <sys/mman.h>

#include <map>
#endif

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

#ifdef HS_LOADER_KEEP_IMAGES
// The fuzz build keeps each driver image mapped from its first load to the
// end of the process (RTLD_NODELETE): mapping, relocating and unmapping an
// image cost more than a whole run. Every load still starts from a fresh
// image and every unload still ends it:
// - the first load notes the writable data as loading left it, and each
//   later load puts it back before DriverEntry runs;
// - DriverUnload runs and the pool and queued-object checks are made as
//   before;
// - between unload and the next load the image's code is inaccessible, so a
//   call into an unloaded driver faults as it does once the image is gone.
struct KeptImage {
  uintptr_t data_begin = 0, data_end = 0;          // writable once relocated (RELRO excluded)
  std::vector<uint64_t> data;                      // its content after the first load
  std::vector<std::pair<uintptr_t, size_t>> code;  // executable segments, whole pages
  uintptr_t writable_begin = 0, writable_end = 0;  // the writable segments
};

std::map<uintptr_t, KeptImage>& kept_images() {  // by load bias
  static std::map<uintptr_t, KeptImage> images;
  return images;
}

uintptr_t page_floor(uintptr_t a) { return a & ~static_cast<uintptr_t>(getpagesize() - 1); }
uintptr_t page_ceil(uintptr_t a) { return page_floor(a + getpagesize() - 1); }

// The data holds the globals' red zones: copied word by word without the
// address checks, and through volatile so that no memcpy (which checks
// them) stands in for the loop.
__attribute__((no_sanitize("address"))) void copy_words(volatile uint64_t* to,
                                                        const volatile uint64_t* from,
                                                        size_t words) {
  for (size_t i = 0; i < words; ++i) to[i] = from[i];
}

KeptImage describe_image(const struct dl_phdr_info* info) {
  KeptImage image;
  image.writable_begin = UINTPTR_MAX;
  uintptr_t relro_end = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    const uintptr_t b = info->dlpi_addr + ph.p_vaddr;
    if (ph.p_type == PT_GNU_RELRO) relro_end = page_floor(b + ph.p_memsz);
    if (ph.p_type != PT_LOAD) continue;
    if (ph.p_flags & PF_X) image.code.emplace_back(page_floor(b), page_ceil(b + ph.p_memsz));
    if (ph.p_flags & PF_W) {
      image.writable_begin = std::min(image.writable_begin, b);
      image.writable_end = std::max(image.writable_end, static_cast<uintptr_t>(b + ph.p_memsz));
    }
  }
  for (auto& [begin, end] : image.code) end -= begin;  // (begin, length)
  if (image.writable_end == 0) {
    image.writable_begin = 0;
    return image;
  }
  image.data_begin = std::max(image.writable_begin, relro_end);
  image.data_begin = (image.data_begin + 7) & ~static_cast<uintptr_t>(7);
  image.data_end = image.writable_end & ~static_cast<uintptr_t>(7);
  if (image.data_end < image.data_begin) image.data_end = image.data_begin;
  return image;
}

void unretire(const KeptImage& image) {
  for (const auto& [begin, length] : image.code)
    mprotect(reinterpret_cast<void*>(begin), length, PROT_READ | PROT_EXEC);
}

void unretire_images() {
  for (const auto& [bias, image] : kept_images()) unretire(image);
}

// A fresh image: noted on its first load, put back as noted on later ones.
void refresh_image(void* handle) {
  struct link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return;
  auto& images = kept_images();
  auto it = images.find(map->l_addr);
  if (it == images.end()) {
    struct Search {
      const struct link_map* map;
      KeptImage image;
      bool found = false;
    } search{map, {}};
    dl_iterate_phdr(
        [](struct dl_phdr_info* info, size_t, void* data) -> int {
          auto* s = static_cast<Search*>(data);
          if (info->dlpi_addr != s->map->l_addr || std::strcmp(info->dlpi_name, s->map->l_name))
            return 0;
          s->image = describe_image(info);
          s->found = true;
          return 1;
        },
        &search);
    if (!search.found) return;
    // At exit the images' finalisers run (they stay loaded to the end).
    if (images.empty()) std::atexit(unretire_images);
    KeptImage& image = images.emplace(map->l_addr, std::move(search.image)).first->second;
    image.data.resize((image.data_end - image.data_begin) / 8);
    copy_words(image.data.data(), reinterpret_cast<const uint64_t*>(image.data_begin),
               image.data.size());
    return;
  }
  KeptImage& image = it->second;
  unretire(image);
  copy_words(reinterpret_cast<uint64_t*>(image.data_begin), image.data.data(), image.data.size());
}

// The image's code becomes inaccessible until its next load.
void retire_image(void* handle) {
  struct link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return;
  auto it = kept_images().find(map->l_addr);
  if (it == kept_images().end()) return;
  for (const auto& [begin, length] : it->second.code)
    mprotect(reinterpret_cast<void*>(begin), length, PROT_NONE);
}

// Where a driver's own kernel objects can be: its writable segments (a KDPC
// in read-only memory could never have been initialised).
std::pair<const char*, const char*> writable_range(void* handle, const char* begin,
                                                   const char* end) {
  struct link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return {begin, end};
  auto it = kept_images().find(map->l_addr);
  if (it == kept_images().end() || it->second.writable_end == 0) return {begin, end};
  return {reinterpret_cast<const char*>(it->second.writable_begin & ~static_cast<uintptr_t>(7)),
          reinterpret_cast<const char*>(it->second.writable_end)};
}

constexpr int kOpenFlags = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;
#else
constexpr int kOpenFlags = RTLD_NOW | RTLD_LOCAL;
#endif

// Closes a driver's image (the fuzz build retires it instead).
void close_image(void* handle) {
#ifdef HS_LOADER_KEEP_IMAGES
  retire_image(handle);
#endif
  dlclose(handle);
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
    if (d->handle != nullptr) images_to_close().push_back(d->handle);
}

LoadedDriver* DriverLoader::pin(const void* address) {
  LoadedDriver* d = image_at(address);
  if (d != nullptr) ++d->pins;
  return d;
}

void DriverLoader::unpin(LoadedDriver* d) {
  if (d == nullptr || --d->pins > 0) return;
  if (d->unloaded && d->handle != nullptr) {
    close_image(d->handle);
    d->handle = nullptr;
  }
}

void DriverLoader::register_builtin(std::string name, PDRIVER_INITIALIZE entry) {
  builtins_[std::move(name)] = entry;
}

PDRIVER_OBJECT DriverLoader::load(const std::string& name) {
  for (void* image : images_to_close()) close_image(image);
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
    void* handle = dlopen(path.c_str(), kOpenFlags);
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
#ifdef HS_LOADER_KEEP_IMAGES
    refresh_image(handle);
#endif
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
      close_image(d.handle);
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
#ifdef HS_LOADER_KEEP_IMAGES
    // Only the writable part can hold a queued DPC or a set timer: scanning
    // the code for them costs a fuzz run a fifth of its time.
    const auto [data_begin, data_end] =
        d->handle != nullptr ? writable_range(d->handle, begin, end) : std::pair{begin, end};
    std::string live =
        ke_live_objects_in(data_begin, data_end) + kernel_.workers().queued_in(begin, end);
#else
    std::string live = ke_live_objects_in(begin, end) + kernel_.workers().queued_in(begin, end);
#endif
    if (!live.empty()) {
      ke_violation("kernel objects still queued at unload", d->name + " unloaded while " + live);
    }
    ke_forget_objects_in(begin, end);
  }
  trace_note("driver " + d->name + " unloaded");
  d->unloaded = true;
  if (d->handle != nullptr && d->pins == 0) {
    close_image(d->handle);
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

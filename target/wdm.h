/*
 * wdm.h - the kernel-API header of the i686 driver images.
 *
 * When portbridge and ratefilter are built as Windows 98/Me kernel-mode
 * drivers, this header stands in for the emulated machine's wdm.h. It takes
 * every kernel and HAL declaration from the toolchain's own DDK header and
 * adds only the few names our drivers use that the DDK does not have. Nothing
 * here changes how a driver behaves; the drivers are the same sources as on
 * the emulated machine.
 */
#ifndef HS_TARGET_WDM_H
#define HS_TARGET_WDM_H

#include <ddk/wdm.h>

#ifdef __cplusplus
#define HS_EXTERN_C extern "C"
#define HS_EXTERN_C_BEGIN extern "C" {
#define HS_EXTERN_C_END }
#else
#define HS_EXTERN_C
#define HS_EXTERN_C_BEGIN
#define HS_EXTERN_C_END
#endif

/* ntddser.h spells FILE_ANY_ACCESS as 0; the same value, spelled alike so
 * that its definition is a harmless repeat. */
#undef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS 0

/* An interrupt level between DISPATCH_LEVEL and PROFILE_LEVEL at which the
 * UART's interrupt-time code runs; the drivers never depend on its value. */
#ifndef SERIAL_DEVICE_LEVEL
#define SERIAL_DEVICE_LEVEL 12
#endif

/* The processor's interrupt flag, the drivers' lock against interrupt-time
 * code on the one processor. The toolchain declares these but has no body
 * for them outside its user-mode run-time. */
HS_EXTERN_C_BEGIN
__MINGW_INTRIN_INLINE void __cdecl _disable(void) { __asm__ __volatile__("cli" ::: "memory"); }
__MINGW_INTRIN_INLINE void __cdecl _enable(void) { __asm__ __volatile__("sti" ::: "memory"); }
HS_EXTERN_C_END

/* The kernel's C run-time exports that the DDK header does not declare
 * (strstr and strrchr come with it from <string.h>). */
HS_EXTERN_C_BEGIN
int __cdecl sprintf(char *Buffer, const char *Format, ...);
HS_EXTERN_C_END

/* The images carry no pageable sections: every routine stays resident, so
 * PAGED_CODE() is the DDK's (empty in a free build). */

#endif /* HS_TARGET_WDM_H */

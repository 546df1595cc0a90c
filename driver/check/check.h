/*
 * The checking build of the stand-in driver, for the test bench only and never packaged.
 *
 * Wine's kernel enforces none of the rules that stop a Windows machine (a second completion,
 * STATUS_PENDING without the mark, pool left at unload, Zw* calls above PASSIVE_LEVEL). This
 * header is force-included (-include) into every source of a checking variant: after the
 * kernel headers, it routes each kernel call the driver makes through check.c, which keeps
 * books of the IRPs in progress, the pool, handles, devices, links and threads, and a shadow
 * IRQL and lock set per thread, and writes one line per broken rule,
 *
 *     VIOLATION <rule>: <what> (<file>:<line>)
 *
 * to C:\kelmor-check.txt of the host, where the test suites read it when they stop the driver.
 * At unload it adds "CHECKED <n> fallible calls" and, for each allocation or create call the
 * run was told to fail (Parameters: CheckFailAt, CheckFailEvery), a "FAILED" line.
 */
#ifndef KELMOR_CHECK_H
#define KELMOR_CHECK_H

#include "../kelmor.h"

#define KELMOR_CHECK_TEXT2(x) #x
#define KELMOR_CHECK_TEXT(x) KELMOR_CHECK_TEXT2(x)
#define KELMOR_CHECK_SITE __FILE__ ":" KELMOR_CHECK_TEXT(__LINE__)

typedef const char* KELMOR_SITE;

/* The driver's own entry, which the checking entry calls. */
DRIVER_INITIALIZE KelmorCheckedDriverEntry;
DRIVER_INITIALIZE DriverEntry;

/* IRPs */
VOID KelmorCheckCompleteRequest(PIRP irp, CCHAR boost, KELMOR_SITE site);
VOID KelmorCheckMarkPending(PIRP irp, KELMOR_SITE site);
PDRIVER_CANCEL KelmorCheckSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine, KELMOR_SITE site);
PIO_STACK_LOCATION KelmorCheckStackLocation(PIRP irp, KELMOR_SITE site);
PVOID KelmorCheckMapMdl(PMDL mdl, ULONG priority, KELMOR_SITE site);
/* IRQL, spin locks, waits, critical regions and the driver's event locks */
VOID KelmorCheckAcquireCancel(PKIRQL irql, KELMOR_SITE site);
VOID KelmorCheckReleaseCancel(KIRQL irql, KELMOR_SITE site);
VOID KelmorCheckInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
NTSTATUS KelmorCheckWait(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                         PLARGE_INTEGER timeout, KELMOR_SITE site);
LONG KelmorCheckSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait, KELMOR_SITE site);
VOID KelmorCheckEnterCriticalRegion(VOID);
VOID KelmorCheckLeaveCriticalRegion(KELMOR_SITE site);
/* A Zw* call: PASSIVE_LEVEL, no spin lock held (`apcs`: special kernel APCs enabled too). */
VOID KelmorCheckPassive(const char* call, BOOLEAN apcs, KELMOR_SITE site);
/* Counts an allocation or create call (a Zw* or Ob* one `passive`); TRUE when this one is to
   fail. */
BOOLEAN KelmorCheckFallible(const char* call, BOOLEAN passive, KELMOR_SITE site);
/* Books the handle a create call returned. */
NTSTATUS KelmorCheckOpened(NTSTATUS status, PHANDLE handle, KELMOR_SITE site);
NTSTATUS KelmorCheckClose(HANDLE handle, KELMOR_SITE site);
/* Pool, devices, links, threads, work items */
PVOID KelmorCheckAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, KELMOR_SITE site);
VOID KelmorCheckFree(PVOID block, ULONG tag, KELMOR_SITE site);
NTSTATUS KelmorCheckCreateDevice(PDRIVER_OBJECT driver, ULONG extension, PUNICODE_STRING name,
                                 DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                                 PDEVICE_OBJECT* device, KELMOR_SITE site);
VOID KelmorCheckDeleteDevice(PDEVICE_OBJECT device, KELMOR_SITE site);
NTSTATUS KelmorCheckCreateLink(PUNICODE_STRING link, PUNICODE_STRING target, KELMOR_SITE site);
NTSTATUS KelmorCheckDeleteLink(PUNICODE_STRING link, KELMOR_SITE site);
NTSTATUS KelmorCheckCreateThread(PHANDLE handle, ULONG access, POBJECT_ATTRIBUTES attributes,
                                 HANDLE process, PCLIENT_ID client, PKSTART_ROUTINE start,
                                 PVOID context, KELMOR_SITE site);
NTSTATUS KelmorCheckTerminateThread(NTSTATUS status, KELMOR_SITE site);
/* A wait for a handle: a thread that waits for its own end never wakes. */
NTSTATUS KelmorCheckWaitHandle(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout,
                               KELMOR_SITE site);
HANDLE KelmorCheckThreadId(VOID);
PIO_WORKITEM KelmorCheckAllocateWorkItem(PDEVICE_OBJECT device, KELMOR_SITE site);
VOID KelmorCheckFreeWorkItem(PIO_WORKITEM item, KELMOR_SITE site);

/* Requests of the checking build alone, on a drive, for what Wine never does: SEND_CLEANUP
   sends the drive IRP_MJ_CLEANUP for the requesting handle; CLOSE_AS_READER makes the drive's
   next IRP_MJ_CLOSE run as if in the drive's reader thread (PsGetCurrentThreadId answers the
   reader's id meanwhile). */
#define KELMOR_CHECK_SEND_CLEANUP                                                                  \
    CTL_CODE(FILE_DEVICE_CD_ROM, 0xCFF, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define KELMOR_CHECK_CLOSE_AS_READER                                                               \
    CTL_CODE(FILE_DEVICE_CD_ROM, 0xCFE, METHOD_BUFFERED, FILE_ANY_ACCESS)

#ifndef KELMOR_CHECK_SOURCE
#define DriverEntry KelmorCheckedDriverEntry

#undef IoCompleteRequest
#define IoCompleteRequest(irp, boost) KelmorCheckCompleteRequest(irp, boost, KELMOR_CHECK_SITE)
#undef IoMarkIrpPending
#define IoMarkIrpPending(irp) KelmorCheckMarkPending(irp, KELMOR_CHECK_SITE)
#undef IoSetCancelRoutine
#define IoSetCancelRoutine(irp, routine)                                                           \
    KelmorCheckSetCancelRoutine(irp, routine, KELMOR_CHECK_SITE)
#undef IoGetCurrentIrpStackLocation
#define IoGetCurrentIrpStackLocation(irp) KelmorCheckStackLocation(irp, KELMOR_CHECK_SITE)
#undef MmGetSystemAddressForMdlSafe
#define MmGetSystemAddressForMdlSafe(mdl, priority)                                                \
    KelmorCheckMapMdl(mdl, (ULONG)(priority), KELMOR_CHECK_SITE)

#undef IoAcquireCancelSpinLock
#define IoAcquireCancelSpinLock(irql) KelmorCheckAcquireCancel(irql, KELMOR_CHECK_SITE)
#undef IoReleaseCancelSpinLock
#define IoReleaseCancelSpinLock(irql) KelmorCheckReleaseCancel(irql, KELMOR_CHECK_SITE)
#undef KeInitializeEvent
#define KeInitializeEvent KelmorCheckInitializeEvent
#undef KeWaitForSingleObject
#define KeWaitForSingleObject(object, reason, mode, alertable, timeout)                            \
    KelmorCheckWait(object, reason, mode, alertable, timeout, KELMOR_CHECK_SITE)
#undef KeSetEvent
#define KeSetEvent(event, increment, wait)                                                         \
    KelmorCheckSetEvent(event, increment, wait, KELMOR_CHECK_SITE)
#undef KeEnterCriticalRegion
#define KeEnterCriticalRegion KelmorCheckEnterCriticalRegion
#undef KeLeaveCriticalRegion
#define KeLeaveCriticalRegion() KelmorCheckLeaveCriticalRegion(KELMOR_CHECK_SITE)

#define KELMOR_CHECK_PASSIVE(call, apcs, ...)                                                      \
    (KelmorCheckPassive(#call, apcs, KELMOR_CHECK_SITE), call(__VA_ARGS__))
#undef ZwReadFile
#define ZwReadFile(...) KELMOR_CHECK_PASSIVE(ZwReadFile, TRUE, __VA_ARGS__)
#undef ZwQueryInformationFile
#define ZwQueryInformationFile(...) KELMOR_CHECK_PASSIVE(ZwQueryInformationFile, FALSE, __VA_ARGS__)
#undef ZwQueryVolumeInformationFile
#define ZwQueryVolumeInformationFile(...)                                                          \
    KELMOR_CHECK_PASSIVE(ZwQueryVolumeInformationFile, FALSE, __VA_ARGS__)
#undef ZwQueryValueKey
#define ZwQueryValueKey(...) KELMOR_CHECK_PASSIVE(ZwQueryValueKey, FALSE, __VA_ARGS__)
#undef ZwSetSecurityObject
#define ZwSetSecurityObject(...) KELMOR_CHECK_PASSIVE(ZwSetSecurityObject, FALSE, __VA_ARGS__)
#undef ZwWaitForSingleObject
#define ZwWaitForSingleObject(handle, alertable, timeout)                                          \
    KelmorCheckWaitHandle(handle, alertable, timeout, KELMOR_CHECK_SITE)
#undef PsGetCurrentThreadId
#define PsGetCurrentThreadId KelmorCheckThreadId

#define KELMOR_CHECK_OPEN(call, handle, ...)                                                       \
    KelmorCheckOpened(KelmorCheckFallible(#call, TRUE, KELMOR_CHECK_SITE)                          \
                          ? STATUS_INSUFFICIENT_RESOURCES                                          \
                          : call(__VA_ARGS__),                                                     \
                      handle, KELMOR_CHECK_SITE)
#undef ZwCreateFile
#define ZwCreateFile(handle, ...) KELMOR_CHECK_OPEN(ZwCreateFile, handle, handle, __VA_ARGS__)
#undef ZwOpenKey
#define ZwOpenKey(handle, ...) KELMOR_CHECK_OPEN(ZwOpenKey, handle, handle, __VA_ARGS__)
#undef ZwOpenSymbolicLinkObject
#define ZwOpenSymbolicLinkObject(handle, ...)                                                      \
    KELMOR_CHECK_OPEN(ZwOpenSymbolicLinkObject, handle, handle, __VA_ARGS__)
#undef ObOpenObjectByPointer
#define ObOpenObjectByPointer(object, attributes, state, access, type, mode, handle)               \
    KELMOR_CHECK_OPEN(ObOpenObjectByPointer, handle, object, attributes, state, access, type,      \
                      mode, handle)
#undef ZwClose
#define ZwClose(handle) KelmorCheckClose(handle, KELMOR_CHECK_SITE)

#undef ExAllocatePoolWithTag
#define ExAllocatePoolWithTag(type, bytes, tag)                                                    \
    KelmorCheckAllocate(type, bytes, tag, KELMOR_CHECK_SITE)
#undef ExFreePoolWithTag
#define ExFreePoolWithTag(block, tag) KelmorCheckFree(block, tag, KELMOR_CHECK_SITE)
#undef IoCreateDevice
#define IoCreateDevice(...) KelmorCheckCreateDevice(__VA_ARGS__, KELMOR_CHECK_SITE)
#undef IoDeleteDevice
#define IoDeleteDevice(device) KelmorCheckDeleteDevice(device, KELMOR_CHECK_SITE)
#undef IoCreateSymbolicLink
#define IoCreateSymbolicLink(link, target) KelmorCheckCreateLink(link, target, KELMOR_CHECK_SITE)
#undef IoDeleteSymbolicLink
#define IoDeleteSymbolicLink(link) KelmorCheckDeleteLink(link, KELMOR_CHECK_SITE)
#undef PsCreateSystemThread
#define PsCreateSystemThread(...) KelmorCheckCreateThread(__VA_ARGS__, KELMOR_CHECK_SITE)
#undef PsTerminateSystemThread
#define PsTerminateSystemThread(status) KelmorCheckTerminateThread(status, KELMOR_CHECK_SITE)
#undef IoAllocateWorkItem
#define IoAllocateWorkItem(device) KelmorCheckAllocateWorkItem(device, KELMOR_CHECK_SITE)
#undef IoFreeWorkItem
#define IoFreeWorkItem(item) KelmorCheckFreeWorkItem(item, KELMOR_CHECK_SITE)
#endif

#endif

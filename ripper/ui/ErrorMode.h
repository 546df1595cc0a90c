#pragma once

// Windows puts up its own "no disk" or "cannot read" box when a call reaches a drive without
// a medium, unless the calling thread fails such critical errors instead. The worker threads
// report every failure themselves, so they ask for that. SetThreadErrorMode exists from
// Windows 7 on, while the program runs on Vista as well: it is looked up at run time, and
// where it is missing the process-wide SetErrorMode is set once at start.

// At start: SetErrorMode(SEM_FAILCRITICALERRORS) where SetThreadErrorMode is missing.
void FailCriticalErrorsWhereThreadsCannot();
// In a worker thread: SetThreadErrorMode(SEM_FAILCRITICALERRORS) where it exists.
void FailCriticalErrorsInThisThread();

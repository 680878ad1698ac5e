// How the rooms above take part in the event pump; not for the routines.
#pragma once

namespace platform_internal {
// Marks that something happened, so the pump does not block in this pass.
void NoteActivity();
// The serial side of the pump: `poll` delivers due bytes and runs receive callbacks (true when
// it did anything); `nextDue` is the earliest Timer() second something is due. The pump looks
// at it before blocking, so a stream never waits behind the window's events.
void SetPumpSource(bool (*poll)(), double (*nextDue)());
// Called, last in first out, when the headless run-time stops (ports closed, for example).
void AtRuntimeStop(void (*fn)());
} // namespace platform_internal

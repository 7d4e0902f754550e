// The API library's calling convention and its export list, written once.
#pragma once

// Entry points and callbacks of the API library use the platform's system
// convention: callee-pops on 32-bit Windows, the only convention elsewhere.
#if defined(_WIN32) && !defined(_WIN64)
#define VORTIQ_CALL __stdcall
#else
#define VORTIQ_CALL
#endif

// X(Slot, Required, Use), in the binding's field order. The export's name is
// "sVortiq" followed by the slot. Use is Called for the two entry points this
// tool calls and Held for those it only binds.
#define VORTIQ_API_EXPORTS(X)            \
  X(APIVersion, true, Called)            \
  X(ProcessTape, true, Held)             \
  X(ListTapes, true, Held)               \
  X(ListAPIDLLs, true, Called)           \
  X(SpinSymbols, true, Held)             \
  X(SaveState, true, Held)               \
  X(GetStateData, false, Held)           \
  X(StateGetExgQuotes, true, Held)       \
  X(StateGetMMQuotes, true, Held)        \
  X(StateGetLastTrade, true, Held)       \
  X(PriceConvert, true, Held)            \
  X(PriceFormat, true, Held)             \
  X(PriceToDouble, true, Held)           \
  X(DateFromNDays, true, Held)           \
  X(DateFromYMD, true, Held)             \
  X(GetDefinedString, true, Held)        \
  X(GetTapeName, true, Held)             \
  X(SignalWaitEvent, true, Held)         \
  X(SetCallback, false, Held)

#define VORTIQ_EXPORT_NAME(Slot) "sVortiq" #Slot

// Configuration store: key=value text pairs kept in memory and in
// config.ini. There is no schema; callers ask for keys by name through the
// typed getters, giving the default. Changes mark the store dirty and the
// saver thread writes the file back within about five seconds.
//
// File format: one "key=value\n" line per entry; the key is everything
// before the first '=', nothing is trimmed. Lines without '=' are dropped.
// Keys compare without regard to ASCII case.
#pragma once

#include <pthread.h>
#include <stddef.h>

#include "ovusbd/core/lockedlist.h"

struct ConfigEntry {
  char* key;    // owned
  char* value;  // owned, never null
};

struct ConfigStore {
  // The entries in file order; its mutex is the store's lock and also
  // guards `dirty`. Lock order: saveMutex, then the entries' mutex.
  LockedList* entries;
  bool dirty;
  bool saveFailing;  // the last save failed and was logged; guarded like dirty
  char* path;  // absolute path of config.ini, fixed at load time

  // Held by one save from its copy of the entries until its file is in
  // place, across the disk writes: only saves take it, so no reader waits.
  pthread_mutex_t saveMutex;

  // Saver thread: configSaverStop is guarded by saverMutex, which the
  // thread waits on between saves so a stop is acted on at once.
  pthread_mutex_t saverMutex;
  pthread_cond_t saverWake;
  bool configSaverStop;
  bool saverRunning;  // written by the owner thread only
  pthread_t saver;
};

// The process-wide store, made by loadConfig, freed by freeConfigStore.
extern ConfigStore* configStore;

// Makes the store and loads the file: `path` as given (a relative path is
// made absolute against the working directory), or, when null, config.ini
// next to the executable, else in $HOME, else in the working directory. A
// missing file is success with an empty store. False on any other error.
bool loadConfig(const char* path, bool createIfMissing);

// Stops the saver when it runs, frees every entry and the store. Does not
// save: call saveConfig first.
void freeConfigStore();

// Copy of the first matching value, else a copy of defaultValue, else null.
// The caller frees it. With expand, "${NAME}" references are replaced by the
// environment variable NAME (empty when unset).
char* getConfigString(const char* key, const char* defaultValue, bool expand);

// Base-10 integer value (expanded); text after the digits is ignored. A
// value without digits (blank or garbage) or beyond int gives defaultValue,
// with a warning that names the key, at every read.
int getConfigInt(const char* key, int defaultValue);

// True only when the (expanded) value is exactly "1". defaultValue is "0",
// "1" or null.
bool getConfigBool(const char* key, const char* defaultValue);

// Replaces every entry of key by one new entry at the end and marks the
// store dirty. Keys holding '=', '\r' or '\n' are refused (-EINVAL); '\r'
// and '\n' in the value become spaces, so a value can never add a line.
// A null value is stored as the empty text. Returns 0 or a negative errno.
int setConfigString(const char* key, const char* value);

// The number of entries in the store, and whether key has one.
size_t countConfigEntries();
bool hasConfigKey(const char* key);

// Removes every entry of key and marks the store dirty when there was one.
// Returns 0 or a negative errno.
int removeConfigString(const char* key);

// edit(&value, arg) may replace *value (freeing the old text with free and
// putting a malloc'd one in its place). It runs under the store's lock and
// must not call any config function.
typedef void (*ConfigEditFunction)(char** value, void* arg);

// Removes every entry of key, makes one new entry at the end holding the
// last removed value (empty when none), calls edit on that value and marks
// the store dirty. The edited value is cleaned of line breaks like in
// setConfigString. Returns 0 or a negative errno.
int editConfigString(const char* key, ConfigEditFunction edit, void* arg);

// editConfigString, where a key without any entry starts from a copy of
// defaultValue (null: the empty text) instead of the empty text.
int editConfigStringWithDefault(const char* key, const char* defaultValue, ConfigEditFunction edit, void* arg);

// When dirty: copies the whole store under its lock, then, without the
// lock, writes the copy to a temporary file in the same directory, syncs it
// and renames it over config.ini (through configFileSys), so the old file
// stays whole when anything fails. A failure leaves the store dirty for the
// next save and is logged once. Returns 0 (also when nothing was to do) or
// a negative errno.
int saveConfig();

// Thread routine of the saver (arg: the ConfigStore): saves when dirty every
// five seconds and once more when stopped. Use startConfigSaveThread and
// stopConfigSaveThread rather than starting it by hand.
void* configSaveThread(void* arg);

// Starts the saver thread, unless configSaverStop is already set. Returns 0
// or a negative errno (-EBUSY when it already runs).
int startConfigSaveThread();

// Sets configSaverStop, wakes the saver and joins it (it saves once more).
// Does nothing when the saver does not run.
void stopConfigSaveThread();

#include "ovusbd/core/config.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "ovusbd/core/configfilesys.h"
#include "ovusbd/core/log.h"

ConfigStore* configStore = nullptr;

namespace {

// Environment references are expanded again when a value holds one, so a
// variable that refers to itself (A="${A}") or doubles itself
// (A="${A}${A}") needs a bound on both the work and the size.
const int kMaxSubstitutions = 256;
const size_t kMaxExpandedLength = 65536;
const size_t kMaxVariableName = 63;
const int kSaveIntervalSeconds = 5;

int asciiLower(int c) {
  return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

bool keysEqual(const char* a, const char* b) {
  for (; *a && *b; a++, b++)
    if (asciiLower(static_cast<unsigned char>(*a)) != asciiLower(static_cast<unsigned char>(*b)))
      return false;
  return *a == *b;
}

bool entryKeyMatches(void* item, const void* key) {
  return keysEqual(static_cast<ConfigEntry*>(item)->key, static_cast<const char*>(key));
}

void freeEntry(ConfigEntry* entry) {
  if (!entry) return;
  free(entry->key);
  free(entry->value);
  free(entry);
}

void freeEntryItem(void* item, void*) {
  freeEntry(static_cast<ConfigEntry*>(item));
}

void markDirty(void*, void* store) {
  static_cast<ConfigStore*>(store)->dirty = true;
}

// A key with '=' or a line break would not read back as the same key.
bool keyIsStorable(const char* key) {
  return key && !strpbrk(key, "=\r\n");
}

// A line break in a value would become a line of its own, and so a new key,
// at the next start.
void flattenLineBreaks(char* value) {
  for (char* at = value; at && *at; at++)
    if (*at == '\r' || *at == '\n') *at = ' ';
}

ConfigEntry* makeEntry(const char* key, const char* value) {
  ConfigEntry* entry = static_cast<ConfigEntry*>(malloc(sizeof(ConfigEntry)));
  if (!entry) return nullptr;
  entry->key = strdup(key);
  entry->value = strdup(value ? value : "");
  if (!entry->key || !entry->value) {
    freeEntry(entry);
    return nullptr;
  }
  return entry;
}

// Absolute form of path against the working directory, so a later chdir
// (daemonising goes to "/") does not move the file.
char* absolutePath(const char* path) {
  if (path[0] == '/') return strdup(path);
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) return strdup(path);
  char* result = nullptr;
  const char* relative = strncmp(path, "./", 2) == 0 ? path + 2 : path;
  if (asprintf(&result, "%s%s%s", cwd, strcmp(cwd, "/") == 0 ? "" : "/", relative) < 0) return nullptr;
  return result;
}

char* homeConfigPath() {
  const char* home = getenv("HOME");
  if (!home) {
    logMessage(LOG_WARNING,
               "Warning, tried finding HOME directory but that also failed, config.ini will be loaded from pwd");
    return strdup("config.ini");
  }
  char* result = nullptr;
  if (asprintf(&result, "%s/config.ini", home) < 0) return nullptr;
  return result;
}

// config.ini next to the executable when it can be created there, else in
// $HOME, else in the working directory.
char* findConfigFile() {
  char exe[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (length < 0) {
    int error = errno;
    logMessage(LOG_WARNING, "Warning, cannot lookup the exe path, %d (%s) (defaulting to HOME)", error,
               strerror(error));
    return homeConfigPath();
  }
  exe[length] = '\0';
  char* candidate = nullptr;
  char* slash = strrchr(exe, '/');
  if (slash) {
    *slash = '\0';
    if (asprintf(&candidate, "%s%cconfig.ini", exe, '/') < 0) return nullptr;
  } else {
    candidate = strdup("config.ini");
    if (!candidate) return nullptr;
  }
  FILE* probe = fopen(candidate, "a");
  if (probe) {
    fclose(probe);
    return candidate;
  }
  free(candidate);
  return homeConfigPath();
}

ConfigStore* createStore() {
  ConfigStore* store = static_cast<ConfigStore*>(calloc(1, sizeof(ConfigStore)));
  if (!store) return nullptr;
  store->entries = createLockedList();
  if (!store->entries) {
    free(store);
    return nullptr;
  }
  pthread_mutex_init(&store->saverMutex, nullptr);
  pthread_mutex_init(&store->saveMutex, nullptr);
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&store->saverWake, &attributes);
  pthread_condattr_destroy(&attributes);
  return store;
}

void destroyStore(ConfigStore* store) {
  clearLockedList(store->entries, freeEntryItem);
  destroyLockedList(store->entries);
  pthread_cond_destroy(&store->saverWake);
  pthread_mutex_destroy(&store->saverMutex);
  pthread_mutex_destroy(&store->saveMutex);
  free(store->path);
  free(store);
}

// Returns 0 or a negative errno.
int readEntries(ConfigStore* store, FILE* file) {
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length;
  bool ok = true;
  while ((length = getline(&line, &capacity, file)) >= 0) {
    if (length > 0 && line[length - 1] == '\n') line[length - 1] = '\0';
    char* equals = strchr(line, '=');
    if (!equals) continue;
    *equals = '\0';
    ConfigEntry* entry = makeEntry(line, equals + 1);
    if (!entry || appendToLockedList(store->entries, entry) != 0) {
      freeEntry(entry);
      ok = false;
      break;
    }
  }
  // A read error (a directory opens fine but reads EISDIR) must not pass
  // for an empty file: the next save would wipe the real one.
  int error = ok && ferror(file) ? (errno ? errno : EIO) : 0;
  free(line);
  return ok ? -error : -ENOMEM;
}

// Replaces "${NAME}" by the environment variable NAME, scanning forward.
// Names over 63 characters are left as they stand; a substituted value is
// scanned again, up to the bounds above. Takes ownership of text.
char* expandEnvironment(const char* key, char* text) {
  size_t position = 0;
  int substitutions = 0;
  for (;;) {
    char* start = strstr(text + position, "${");
    if (!start) break;
    char* end = strchr(start + 2, '}');
    if (!end) break;
    size_t nameLength = static_cast<size_t>(end - start - 2);
    if (nameLength > kMaxVariableName) {
      position = static_cast<size_t>(start - text) + 2;
      continue;
    }
    char name[kMaxVariableName + 1];
    memcpy(name, start + 2, nameLength);
    name[nameLength] = '\0';
    const char* value = getenv(name);
    if (!value) {
      logMessage(LOG_WARNING, "Did not find environment variable '%s' for property '%s'", name, key);
      value = "";
    }
    size_t prefixLength = static_cast<size_t>(start - text);
    size_t valueLength = strlen(value);
    size_t restLength = strlen(end + 1);
    if (substitutions >= kMaxSubstitutions ||
        prefixLength + valueLength + restLength > kMaxExpandedLength) {
      logMessage(LOG_WARNING, "Warning, environment references in property '%s' nest too deep, left unexpanded",
                 key);
      break;
    }
    char* expanded = static_cast<char*>(malloc(prefixLength + valueLength + restLength + 1));
    if (!expanded) break;
    memcpy(expanded, text, prefixLength);
    memcpy(expanded + prefixLength, value, valueLength);
    memcpy(expanded + prefixLength + valueLength, end + 1, restLength + 1);
    free(text);
    text = expanded;
    // Scan the value again: it may hold references of its own.
    position = prefixLength;
    substitutions++;
  }
  return text;
}

int writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = configFileSys->write(fd, data, length);
    if (written == -EINTR) continue;
    if (written < 0) return static_cast<int>(written);
    data += written;
    length -= static_cast<size_t>(written);
  }
  return 0;
}

// The whole store as "key=value\n" lines; the caller holds the lock.
char* renderEntries(LockedList* entries, size_t* length) {
  size_t total = 0;
  for (LockedListNode* node = entries->head; node; node = node->next) {
    ConfigEntry* entry = static_cast<ConfigEntry*>(node->item);
    total += strlen(entry->key) + strlen(entry->value) + 2;
  }
  char* text = static_cast<char*>(malloc(total + 1));
  if (!text) return nullptr;
  char* out = text;
  for (LockedListNode* node = entries->head; node; node = node->next) {
    ConfigEntry* entry = static_cast<ConfigEntry*>(node->item);
    out += sprintf(out, "%s=%s\n", entry->key, entry->value);
  }
  *length = total;
  return text;
}

// Writes text to a temporary file beside target, syncs it and renames it
// over target, so a full disk or a crash leaves either the old or the new
// file whole: without the sync the rename can reach the disk before the
// data, and a crash then leaves an empty file.
int replaceFile(const char* target, const char* text, size_t length) {
  const ConfigFileSys* sys = configFileSys;
  char* temporary = nullptr;
  if (asprintf(&temporary, "%s.tmp", target) < 0) return -ENOMEM;
  // The file names scripts that run as root, and a daemon runs with
  // umask 0: a new file is writable by its owner only. An existing file
  // keeps its mode.
  int fd = sys->open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    free(temporary);
    return fd;
  }
  struct stat old;
  if (sys->stat(target, &old) == 0) sys->fchmod(fd, old.st_mode & 07777);
  int result = writeAll(fd, text, length);
  if (result == 0) result = sys->fsync(fd);
  int closed = sys->close(fd);
  if (result == 0) result = closed;
  if (result == 0) result = sys->rename(temporary, target);
  if (result != 0) {
    sys->unlink(temporary);
  } else {
    // Make the rename itself durable.
    char* directory = strdup(target);
    if (directory) {
      char* slash = strrchr(directory, '/');
      if (slash) slash[slash == directory ? 1 : 0] = '\0';
      int directoryFd = sys->open(slash ? directory : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
      if (directoryFd >= 0) {
        sys->fsync(directoryFd);
        sys->close(directoryFd);
      }
      free(directory);
    }
  }
  free(temporary);
  return result;
}

// The store is copied under its lock and written without it, so readers
// never wait on the disk. saveMutex keeps two saves (the saver's and one at
// shutdown) from crossing, so an older copy never replaces a newer file.
int saveStore(ConfigStore* store) {
  pthread_mutex_lock(&store->saveMutex);
  pthread_mutex_lock(&store->entries->mutex);
  if (!store->dirty) {
    pthread_mutex_unlock(&store->entries->mutex);
    pthread_mutex_unlock(&store->saveMutex);
    return 0;
  }
  // A change made while the copy is written marks the store dirty again.
  store->dirty = false;
  size_t length = 0;
  char* text = renderEntries(store->entries, &length);
  pthread_mutex_unlock(&store->entries->mutex);

  // A symbolic link stays in place; the file it names is replaced.
  char* target = realpath(store->path, nullptr);
  int result = text ? replaceFile(target ? target : store->path, text, length) : -ENOMEM;
  free(text);
  free(target);

  bool report = false;
  pthread_mutex_lock(&store->entries->mutex);
  if (result != 0) {
    // The changes are not on disk yet: the next save (the saver's, or the
    // one at shutdown) tries again. A failure that lasts is logged once.
    store->dirty = true;
    report = !store->saveFailing;
    store->saveFailing = true;
  } else {
    store->saveFailing = false;
  }
  pthread_mutex_unlock(&store->entries->mutex);
  pthread_mutex_unlock(&store->saveMutex);
  if (report) logMessage(LOG_ERR, "Error %d updating %s, %s", -result, store->path, strerror(-result));
  return result;
}

struct EditCall {
  ConfigEditFunction edit;
  void* arg;
  ConfigStore* store;
};

// Destructor for editConfigString: the new entry inherits the old value.
void takeOverValue(void* item, void* newEntry) {
  ConfigEntry* old = static_cast<ConfigEntry*>(item);
  ConfigEntry* entry = static_cast<ConfigEntry*>(newEntry);
  free(entry->value);
  entry->value = old->value;
  old->value = nullptr;
  freeEntry(old);
}

void runEdit(void* item, void* call) {
  ConfigEntry* entry = static_cast<ConfigEntry*>(item);
  EditCall* edit = static_cast<EditCall*>(call);
  edit->edit(&entry->value, edit->arg);
  if (!entry->value) entry->value = strdup("");
  // strdup can fail only here; an entry must never hold a null value.
  if (!entry->value) entry->value = static_cast<char*>(calloc(1, 1));
  flattenLineBreaks(entry->value);
  edit->store->dirty = true;
}

}  // namespace

bool loadConfig(const char* path, bool createIfMissing) {
  freeConfigStore();
  ConfigStore* store = createStore();
  if (!store) return false;
  char* found = path ? nullptr : findConfigFile();
  store->path = absolutePath(path ? path : found ? found : "config.ini");
  free(found);
  if (!store->path) {
    destroyStore(store);
    return false;
  }
  FILE* file = fopen(store->path, "r");
  if (!file) {
    int error = errno;
    if (error != ENOENT) {
      logMessage(LOG_ERR, "Error %d loading config file %s, (%s)", error, store->path, strerror(error));
      destroyStore(store);
      return false;
    }
    if (createIfMissing) logMessage(LOG_INFO, "Creating default configuration %s", store->path);
  } else {
    if (createIfMissing) logMessage(LOG_INFO, "Using configuration %s", store->path);
    int error = readEntries(store, file);
    fclose(file);
    if (error != 0) {
      logMessage(LOG_ERR, "Error %d loading config file %s, (%s)", -error, store->path, strerror(-error));
      destroyStore(store);
      return false;
    }
  }
  configStore = store;
  return true;
}

void freeConfigStore() {
  if (!configStore) return;
  stopConfigSaveThread();
  destroyStore(configStore);
  configStore = nullptr;
}

char* getConfigString(const char* key, const char* defaultValue, bool expand) {
  char* text = nullptr;
  bool found = false;
  if (configStore && key) {
    LockedList* entries = configStore->entries;
    pthread_mutex_lock(&entries->mutex);
    for (LockedListNode* node = entries->head; node; node = node->next) {
      ConfigEntry* entry = static_cast<ConfigEntry*>(node->item);
      if (keysEqual(entry->key, key)) {
        text = strdup(entry->value);
        found = true;
        break;
      }
    }
    pthread_mutex_unlock(&entries->mutex);
  }
  if (!found && defaultValue) text = strdup(defaultValue);
  if (text && expand) text = expandEnvironment(key ? key : "", text);
  return text;
}

int getConfigInt(const char* key, int defaultValue) {
  char fallback[16];
  snprintf(fallback, sizeof fallback, "%d", defaultValue);
  char* text = getConfigString(key, fallback, true);
  if (!text) {
    logMessage(LOG_ERR, "Error, invalid value for property \"%s\"", key);
    return 0;
  }
  char* end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  // A client may blank any key (custom events): a blank or unreadable
  // number must not stop the server from listening or keeping clients, so
  // it counts as not set.
  if (end == text || errno == ERANGE || value > INT_MAX || value < INT_MIN) {
    logMessage(LOG_WARNING, "Warning, property \"%s\" is not a number \"%s\", using the default %d", key, text,
               defaultValue);
    value = defaultValue;
  }
  free(text);
  return static_cast<int>(value);
}

bool getConfigBool(const char* key, const char* defaultValue) {
  char* text = getConfigString(key, defaultValue, true);
  bool on = text && strcmp(text, "1") == 0;
  free(text);
  return on;
}

int setConfigString(const char* key, const char* value) {
  if (!keyIsStorable(key)) {
    logMessage(LOG_ERR, "Error, invalid configuration key refused");
    return -EINVAL;
  }
  if (!configStore) return -ENODEV;
  ConfigEntry* entry = makeEntry(key, value);
  if (!entry) return -ENOMEM;
  flattenLineBreaks(entry->value);
  int result = updateOrAppendInLockedList(configStore->entries, entryKeyMatches, freeEntryItem, markDirty, key,
                                          nullptr, configStore, entry);
  if (result != 0) freeEntry(entry);
  return result;
}

size_t countConfigEntries() {
  return configStore ? countLockedList(configStore->entries) : 0;
}

bool hasConfigKey(const char* key) {
  return configStore && key && findInLockedList(configStore->entries, entryKeyMatches, key);
}

int removeConfigString(const char* key) {
  if (!key) return -EINVAL;
  if (!configStore) return -ENODEV;
  removeFromLockedList(
      configStore->entries, entryKeyMatches,
      [](void* item, void* store) {
        freeEntryItem(item, nullptr);
        markDirty(nullptr, store);
      },
      key, configStore);
  return 0;
}

int editConfigString(const char* key, ConfigEditFunction edit, void* arg) {
  return editConfigStringWithDefault(key, nullptr, edit, arg);
}

int editConfigStringWithDefault(const char* key, const char* defaultValue, ConfigEditFunction edit, void* arg) {
  if (!keyIsStorable(key) || !edit) {
    logMessage(LOG_ERR, "Error, invalid configuration key refused");
    return -EINVAL;
  }
  if (!configStore) return -ENODEV;
  ConfigEntry* entry = makeEntry(key, defaultValue ? defaultValue : "");
  if (!entry) return -ENOMEM;
  EditCall call = {edit, arg, configStore};
  int result = updateOrAppendInLockedList(configStore->entries, entryKeyMatches, takeOverValue, runEdit, key,
                                          entry, &call, entry);
  if (result != 0) freeEntry(entry);
  return result;
}

int saveConfig() {
  if (!configStore) return 0;
  return saveStore(configStore);
}

void* configSaveThread(void* arg) {
  ConfigStore* store = static_cast<ConfigStore*>(arg);
  pthread_mutex_lock(&store->saverMutex);
  // A stop that comes before the thread is first scheduled still gets its
  // last save: the loop ends only after a save.
  for (;;) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kSaveIntervalSeconds;
    while (!store->configSaverStop &&
           pthread_cond_timedwait(&store->saverWake, &store->saverMutex, &deadline) != ETIMEDOUT) {
    }
    // Save without the saver lock, so a stop request never waits on the disk.
    pthread_mutex_unlock(&store->saverMutex);
    saveStore(store);
    pthread_mutex_lock(&store->saverMutex);
    if (store->configSaverStop) break;
  }
  pthread_mutex_unlock(&store->saverMutex);
  return nullptr;
}

int startConfigSaveThread() {
  if (!configStore) return -ENODEV;
  if (configStore->saverRunning) return -EBUSY;
  pthread_mutex_lock(&configStore->saverMutex);
  bool stopped = configStore->configSaverStop;
  pthread_mutex_unlock(&configStore->saverMutex);
  if (stopped) return 0;  // stopped before it started: nothing to run
  int error = pthread_create(&configStore->saver, nullptr, configSaveThread, configStore);
  if (error != 0) return -error;
  configStore->saverRunning = true;
  return 0;
}

void stopConfigSaveThread() {
  if (!configStore || !configStore->saverRunning) return;
  pthread_mutex_lock(&configStore->saverMutex);
  configStore->configSaverStop = true;
  pthread_cond_signal(&configStore->saverWake);
  pthread_mutex_unlock(&configStore->saverMutex);
  pthread_join(configStore->saver, nullptr);
  configStore->saverRunning = false;
}

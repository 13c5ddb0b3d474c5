// The Python module kestrix: the client facade for scripts. A Server is a
// KestrixServerHandle; translations, rule lists, pings and event
// subscriptions run with the GIL released, so threads that translate run
// side by side. Callbacks (node events, discovery changes) run on the
// library's threads and take the GIL for the call.
//
// The library starts with the first object that needs it and stops from an
// atexit hook, before the interpreter goes away: the hook closes every
// server and subscription first, so no callback can run into a finalized
// interpreter and no library thread is left to the C runtime's exit.
//
// Texts from the library (a server's answers included) become str with
// surrogate escapes, as os.fsdecode does: bytes that are not UTF-8 survive
// a round trip and never raise.

#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/base/network/CoNetworkConfig.h"
#include "kestrix/client/api/KestrixClientAPI.h"
#include "kestrix/client/api/KestrixDaemonInfo.h"
#include "kestrix/client/api/KestrixMulticastClient.h"

namespace py = pybind11;

namespace {

// Raised as kestrix.Error (an OSError) with the library's text.
class KestrixError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- Text -------------------------------------------------------------------

py::str text(const char* s, size_t n) {
  PyObject* o = PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "surrogateescape");
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

py::str text(const char* s) {
  return text(s, std::strlen(s));
}

// The bytes of a str, surrogate escapes back to the bytes they stand for.
std::string bytesOf(py::handle o, const char* what) {
  if (!PyUnicode_Check(o.ptr()))
    throw py::type_error(std::string(what) + " must be str, not " + Py_TYPE(o.ptr())->tp_name);
  Py_ssize_t n = 0;
  if (const char* s = PyUnicode_AsUTF8AndSize(o.ptr(), &n)) return std::string(s, n);
  PyErr_Clear();
  py::object encoded = py::reinterpret_steal<py::object>(
      PyUnicode_AsEncodedString(o.ptr(), "utf-8", "surrogateescape"));
  if (!encoded) throw py::error_already_set();
  return std::string(PyBytes_AS_STRING(encoded.ptr()), PyBytes_GET_SIZE(encoded.ptr()));
}

// Only None or a str; the library takes an empty text as "not given".
std::string optionalBytes(const py::object& o, const char* what) {
  return o.is_none() ? std::string() : bytesOf(o, what);
}

// ---- Result types (named tuples, made at import) ------------------------------

struct Types {
  py::object serverInfo, translationGroup, hostTranslation, osTypeTranslation, event, serverEvent,
      osType;
};
Types* gTypes = nullptr;  // lives as long as the module (never freed: interpreter exit)

py::object namedTuple(py::module_& m, const char* name, const char* fields, const char* doc) {
  py::object type = py::module_::import("collections").attr("namedtuple")(name, fields);
  type.attr("__module__") = "kestrix";
  type.attr("__doc__") = doc;
  m.attr(name) = type;
  return type;
}

py::object osTypeOf(int type) {
  return gTypes->osType(type);
}

py::object serverInfoOf(const KestrixDaemonInfo& info) {
  py::list addresses;
  for (unsigned i = 0; i < KestrixDaemonInfo::MAX_IPS && *info.getMetadataIP(i) != '\0'; ++i)
    addresses.append(text(info.getMetadataIP(i)));
  return gTypes->serverInfo(
      text(info.getDisplayName()), text(info.getHostName()), text(info.getDatabase()),
      text(info.getStorageId()), info.getNodePort(), py::tuple(addresses),
      py::make_tuple(info.getVersionMajorNumber(), info.getVersionMinorNumber(),
                     info.getVersionMaintNumber(), info.getVersionBuildNumber()),
      text(info.getProductVersionString()));
}

// "Irix", "Linux", "WindowsNT", "MacOSX" in any case, or an OsType member.
KestrixOS::OsType osTypeArg(const py::object& o, const char* what) {
  if (o.is_none()) return KestrixOS::OS_TYPE_UNKNOWN;
  if (py::isinstance(o, gTypes->osType)) return static_cast<KestrixOS::OsType>(o.cast<int>());
  if (!PyUnicode_Check(o.ptr()))
    throw py::type_error(std::string(what) + " must be str or OsType, not " +
                         Py_TYPE(o.ptr())->tp_name);
  const std::string name = bytesOf(o, what);
  const KestrixOS::OsType type = KestrixOS::strToOsType(name.c_str());
  if (type == KestrixOS::OS_TYPE_UNKNOWN)
    throw py::value_error(std::string(what) + ": unknown operating system '" + name +
                          "' (Irix, Linux, WindowsNT or MacOSX)");
  return type;
}

// ---- Library start and stop ---------------------------------------------------

std::mutex gLibraryMutex;
bool gStarted = false;              // under gLibraryMutex
bool gStopped = false;              // under gLibraryMutex: the atexit hook ran
std::atomic<bool> gExiting{false};  // no callback may enter Python any more

// GIL released.
void startLibrary() {
  std::lock_guard<std::mutex> lock(gLibraryMutex);
  if (gStopped) throw KestrixError("The Kestrix library was shut down at interpreter exit.");
  if (gStarted) return;
  std::string badConfig;
  if (!Kestrix::CoNetworkConfig::getInstance().checkSelfDiscovery(badConfig))
    throw KestrixError(badConfig);
  if (!KestrixClientInit()) throw KestrixError("Unable to initialize Kestrix client API.");
  gStarted = true;
}

// Whatever runs a callback marks it here, so that closing what the callback
// runs inside of is refused instead of waiting for itself.
thread_local std::vector<const void*> tBusy;

class Busy {
 public:
  explicit Busy(const void* what) { tBusy.push_back(what); }
  ~Busy() { tBusy.pop_back(); }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  static bool has(const void* what) {
    return std::find(tBusy.begin(), tBusy.end(), what) != tBusy.end();
  }
};

// ---- Subscriptions ------------------------------------------------------------

class Watch {
 public:
  virtual ~Watch() {
    // The callback is a Python object: let go of it under the GIL.
    if (!callback_) return;
    py::gil_scoped_acquire gil;
    callback_ = py::object();
  }
  // GIL released.
  virtual void close() = 0;
  bool active() const { return !closed_; }
  void markClosed() { closed_ = true; }

 protected:
  explicit Watch(py::object callback) : callback_(std::move(callback)) {}
  // Delivers under the GIL unless closed or the interpreter is leaving; an
  // exception goes to sys.unraisablehook and the library's delivery goes on.
  void deliver(const void* busy, const std::function<py::object()>& argument) {
    if (closed_ || gExiting) return;
    py::gil_scoped_acquire gil;
    if (closed_ || gExiting) return;
    Busy mark(busy);
    try {
      callback_(argument());
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable(callback_);
    }
  }

  std::atomic<bool> closed_{false};
  py::object callback_;
};

class ServerCore;

class NodeWatch : public Watch,
                  public KestrixNodeEvent::Handler,
                  public std::enable_shared_from_this<NodeWatch> {
 public:
  NodeWatch(const std::shared_ptr<ServerCore>& core, std::string nodeId, py::object callback)
      : Watch(std::move(callback)), core_(core), coreKey_(core.get()), nodeId_(std::move(nodeId)) {}
  void handleEvent(const KestrixNodeEvent& event) override;
  void close() override;
  const std::string& nodeId() const { return nodeId_; }

 private:
  std::weak_ptr<ServerCore> core_;
  const void* coreKey_;  // marks deliveries, so that the server is not closed inside one
  std::string nodeId_;
};

// A handle whose last reference went inside one of its own deliveries: the
// library forbids destroying it there, so it waits for the exit hook.
struct Remains {
  std::unique_ptr<KestrixServerHandle> handle;
  std::vector<std::shared_ptr<NodeWatch>> watches;
};
std::mutex gRemainsMutex;
std::vector<Remains> gRemains;

// ---- Servers ------------------------------------------------------------------

// A handle that close() destroys once no operation uses it; operations
// refuse to start after it.
class ServerCore : public std::enable_shared_from_this<ServerCore> {
 public:
  explicit ServerCore(std::string identity) : identity_(std::move(identity)) {}
  ~ServerCore() {
    if (handle_ == nullptr) return;
    if (Busy::has(this)) {
      for (const auto& watch : watches_) watch->markClosed();
      std::lock_guard<std::mutex> lock(gRemainsMutex);
      gRemains.push_back(Remains{std::move(handle_), std::move(watches_)});
      return;
    }
    if (PyGILState_Check()) {
      py::gil_scoped_release release;
      close();
    } else {
      close();
    }
  }
  ServerCore(const ServerCore&) = delete;
  ServerCore& operator=(const ServerCore&) = delete;

  const std::string& identity() const { return identity_; }
  // GIL released.
  void open() {
    startLibrary();
    handle_ = std::make_unique<KestrixServerHandle>(KestrixServerId(identity_.c_str()));
  }
  bool closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }

  // Holds the handle open for one operation (GIL released).
  class Use {
   public:
    explicit Use(ServerCore& core) : core_(core), mark_(&core) {
      std::lock_guard<std::mutex> lock(core_.mutex_);
      if (core_.closed_) throw KestrixError("Server '" + core_.identity_ + "' is closed.");
      ++core_.users_;
    }
    ~Use() {
      std::lock_guard<std::mutex> lock(core_.mutex_);
      if (--core_.users_ == 0) core_.idle_.notify_all();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    KestrixServerHandle& handle() { return *core_.handle_; }
    // The library's text for the failure that just happened.
    [[noreturn]] void fail() { throw KestrixError(core_.handle_->lastError()); }

   private:
    ServerCore& core_;
    Busy mark_;
  };

  // GIL released.
  void close() {
    if (Busy::has(this))
      throw KestrixError("Server '" + identity_ + "' cannot be closed by its own callback.");
    std::unique_ptr<KestrixServerHandle> handle;
    std::vector<std::shared_ptr<NodeWatch>> watches;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      closed_ = true;
      idle_.wait(lock, [this] { return users_ == 0; });
      handle.swap(handle_);
      watches.swap(watches_);
    }
    for (const auto& watch : watches) watch->markClosed();
    // Destroying the handle withdraws its subscriptions from the server
    // and waits for a delivery under way.
    handle.reset();
    if (watches.empty()) return;
    py::gil_scoped_acquire gil;
    watches.clear();
  }

  void add(const std::shared_ptr<NodeWatch>& watch) {
    std::lock_guard<std::mutex> lock(mutex_);
    watches_.push_back(watch);
  }
  void forget(const NodeWatch* watch) {
    std::shared_ptr<NodeWatch> gone;  // freed outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(watches_.begin(), watches_.end(),
                           [watch](const auto& w) { return w.get() == watch; });
    if (it == watches_.end()) return;
    gone = std::move(*it);
    watches_.erase(it);
  }

 private:
  std::string identity_;
  std::unique_ptr<KestrixServerHandle> handle_;
  std::mutex mutex_;
  std::condition_variable idle_;
  int users_ = 0;
  bool closed_ = false;
  std::vector<std::shared_ptr<NodeWatch>> watches_;
};

void NodeWatch::handleEvent(const KestrixNodeEvent& event) {
  // Closing from the callback may drop the last other reference.
  const std::shared_ptr<NodeWatch> self = shared_from_this();
  deliver(coreKey_, [&event] {
    py::dict details;
    KestrixStr name, value;
    for (unsigned i = 0; event.getDetails().getEntry(i, name, value); ++i)
      details[text(name.c_str(), name.length())] = text(value.c_str(), value.length());
    return gTypes->event(text(event.getNodeId().c_str()),
                         text(event.getType().c_str(), event.getType().length()), details);
  });
}

void NodeWatch::close() {
  if (closed_.exchange(true)) return;
  const std::shared_ptr<ServerCore> core = core_.lock();
  if (!core) return;
  bool withdrawn = true;
  try {
    ServerCore::Use use(*core);
    // A server that cannot be told keeps no handler of ours: the library
    // withdraws the node at its next renewal.
    withdrawn = use.handle().unregisterEventHandler(nodeId_.c_str(), this);
  } catch (const KestrixError&) {
    return;  // the server closed meanwhile, and took this watch with it
  }
  // On failure the library may still name this handler: keep it until the
  // server goes.
  if (withdrawn) core->forget(this);
}

// Every open server, for the exit hook.
std::mutex gServersMutex;
std::list<std::weak_ptr<ServerCore>> gServers;

std::shared_ptr<ServerCore> openServer(const py::object& identity) {
  std::string id = optionalBytes(identity, "identity");
  if (!identity.is_none() && id.empty()) throw py::value_error("identity must not be empty");
  std::shared_ptr<ServerCore> core;
  {
    py::gil_scoped_release release;
    if (id.empty()) id = KestrixOS::getHostName().c_str();
    core = std::make_shared<ServerCore>(id);
    core->open();
    std::lock_guard<std::mutex> lock(gServersMutex);
    gServers.remove_if([](const auto& w) { return w.expired(); });
    gServers.push_back(core);
  }
  return core;
}

py::list translatePaths(ServerCore& core, const py::object& paths, const py::object& dstHost,
                        const py::object& dstOs, const py::object& srcHost,
                        const py::object& srcOs) {
  if (PyUnicode_Check(paths.ptr()) || PyBytes_Check(paths.ptr()))
    throw py::type_error("paths must be a sequence of str, not a single path");
  const py::object list = py::reinterpret_steal<py::object>(
      PySequence_Fast(paths.ptr(), "paths must be a sequence of str"));
  if (!list) throw py::error_already_set();
  const KestrixOS::OsType dstType = osTypeArg(dstOs, "dst_os");
  const KestrixOS::OsType srcType = osTypeArg(srcOs, "src_os");
  const std::string dst = optionalBytes(dstHost, "dst_host");
  const std::string src = optionalBytes(srcHost, "src_host");
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(list.ptr());
  PyObject** items = PySequence_Fast_ITEMS(list.ptr());
  KestrixStrList source;
  source.reserve(static_cast<int>(count));
  std::string path;
  for (Py_ssize_t i = 0; i < count; ++i) {
    path = bytesOf(items[i], "paths[i]");
    // Answers come back joined by ',': one more would shift every later
    // answer onto the wrong path.
    if (path.find(',') != std::string::npos)
      throw py::value_error("paths[" + std::to_string(i) + "] holds ',', which the reply " +
                            "format cannot carry: " + py::repr(items[i]).cast<std::string>());
    if (path.find('\0') != std::string::npos)
      throw py::value_error("paths[" + std::to_string(i) + "] holds a NUL character");
    source.push_back(path.data(), static_cast<unsigned>(path.size()));
  }
  py::list out(count);
  if (count == 0) return out;
  KestrixStrList results;
  {
    py::gil_scoped_release release;
    ServerCore::Use use(core);
    if (!use.handle().translatePaths(source, results, src.empty() ? nullptr : src.c_str(),
                                     dst.empty() ? nullptr : dst.c_str(), srcType, dstType))
      use.fail();
  }
  // An empty reply is one empty answer.
  if (count == 1 && results.size() == 0) results.push_back("");
  if (results.size() != static_cast<unsigned>(count))
    throw KestrixError("Server '" + core.identity() + "' gave " + std::to_string(results.size()) +
                       " answers for " + std::to_string(count) + " paths.");
  for (Py_ssize_t i = 0; i < count; ++i) {
    const char* answer = results[static_cast<unsigned>(i)];
    PyList_SET_ITEM(out.ptr(), i, text(answer).release().ptr());
  }
  return out;
}

// Fetches n records with get(i) into a list, converting each with make.
template <typename Record, typename Count, typename Get, typename Make>
py::list rules(ServerCore& core, Count count, Get get, Make make) {
  std::vector<Record> records;
  {
    py::gil_scoped_release release;
    ServerCore::Use use(core);
    int n = 0;
    if (!(use.handle().*count)(n)) use.fail();
    records.resize(static_cast<size_t>(std::max(n, 0)));
    for (int i = 0; i < n; ++i)
      if (!(use.handle().*get)(i, records[static_cast<size_t>(i)])) use.fail();
  }
  py::list out;
  for (const Record& record : records) out.append(make(record));
  return out;
}

// ---- Discovery ------------------------------------------------------------------

class ServerWatch : public Watch {
 public:
  explicit ServerWatch(py::object callback) : Watch(std::move(callback)) {}
  void close() override;
  void notify(KestrixMulticastClient::Observer::Event event, const KestrixDaemonInfo& info) {
    static const char* const kChange[] = {"updated", "added", "removed"};
    deliver(this, [&] { return gTypes->serverEvent(kChange[event], serverInfoOf(info)); });
  }
};

// One observer for the module, registered once: discovery calls it with its
// own locks held, and an observer that removed itself there would break
// discovery's walk of its observers.
class Discovery : public KestrixMulticastClient::Observer {
 public:
  void notify(Event event, const KestrixDaemonInfo& info) override {
    std::vector<std::shared_ptr<ServerWatch>> watches;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lastNews_ = Clock::now();
      watches = watches_;
    }
    for (const auto& watch : watches) watch->notify(event, info);
    if (watches.empty()) return;
    py::gil_scoped_acquire gil;
    watches.clear();
  }
  // GIL released.
  void start() {
    std::lock_guard<std::mutex> lock(startMutex_);
    if (observing_) return;
    KestrixMulticastClient::addObserver(this);
    observing_ = true;
  }
  // GIL released; the exit hook.
  void stop() {
    std::lock_guard<std::mutex> lock(startMutex_);
    if (observing_) KestrixMulticastClient::removeObserver(this);
    observing_ = false;
  }
  void add(const std::shared_ptr<ServerWatch>& watch) {
    std::lock_guard<std::mutex> lock(mutex_);
    watches_.push_back(watch);
  }
  // Returns the watches for the caller to free under the GIL.
  std::vector<std::shared_ptr<ServerWatch>> take(const ServerWatch* only) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<ServerWatch>> taken;
    for (auto it = watches_.begin(); it != watches_.end();) {
      if (only != nullptr && it->get() != only) {
        ++it;
        continue;
      }
      taken.push_back(std::move(*it));
      it = watches_.erase(it);
    }
    return taken;
  }
  // Waits until discovery was quiet for a moment, at most max.
  void settle(std::chrono::milliseconds max) {
    using namespace std::chrono_literals;
    const auto start = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lastNews_ = start;
    }
    for (;;) {
      const auto now = Clock::now();
      std::unique_lock<std::mutex> lock(mutex_);
      if (now - start >= max || now - lastNews_ >= 200ms) return;
      lock.unlock();
      std::this_thread::sleep_for(20ms);
    }
  }

 private:
  using Clock = std::chrono::steady_clock;
  std::mutex startMutex_;
  bool observing_ = false;  // under startMutex_
  std::mutex mutex_;
  Clock::time_point lastNews_;
  std::vector<std::shared_ptr<ServerWatch>> watches_;
};

Discovery& discovery() {
  static Discovery* instance = new Discovery;  // outlives every library thread
  return *instance;
}

void ServerWatch::close() {
  markClosed();
  auto taken = discovery().take(this);
  py::gil_scoped_acquire gil;
  taken.clear();
}

py::list listServers(const py::object& database, double wait) {
  if (!(wait >= 0 && wait <= 3600)) throw py::value_error("wait must be 0 to 3600 seconds");
  const std::string db = optionalBytes(database, "database");
  std::list<KestrixDaemonInfo> found;
  {
    py::gil_scoped_release release;
    startLibrary();
    Discovery& d = discovery();
    d.start();
    const char* name = database.is_none() ? nullptr : db.c_str();
    KestrixMulticastClient& client = KestrixMulticastClient::getInstance();
    client.refresh(name);
    d.settle(std::chrono::milliseconds(static_cast<long>(wait * 1000)));
    client.getServers(&found, name, nullptr, 0);
  }
  py::list out;
  for (const KestrixDaemonInfo& info : found) out.append(serverInfoOf(info));
  return out;
}

// ---- Exit -------------------------------------------------------------------------

// The atexit hook: GIL held on entry.
void shutDown() {
  gExiting = true;
  std::vector<std::shared_ptr<ServerCore>> servers;
  {
    std::lock_guard<std::mutex> lock(gServersMutex);
    for (const auto& weak : gServers)
      if (auto core = weak.lock()) servers.push_back(core);
    gServers.clear();
  }
  std::vector<std::shared_ptr<Watch>> watches;
  {
    py::gil_scoped_release release;
    for (const auto& core : servers) {
      try {
        core->close();
      } catch (const KestrixError&) {
        // exit from inside a callback: the library's own hook stops it
      }
    }
    discovery().stop();
    for (auto& watch : discovery().take(nullptr)) watches.push_back(std::move(watch));
    std::vector<Remains> remains;
    {
      std::lock_guard<std::mutex> lock(gRemainsMutex);
      remains.swap(gRemains);
    }
    for (Remains& r : remains) {
      r.handle.reset();
      for (auto& watch : r.watches) watches.push_back(std::move(watch));
    }
    std::lock_guard<std::mutex> lock(gLibraryMutex);
    if (gStarted) KestrixClientUninit();
    gStarted = false;
    gStopped = true;
  }
  watches.clear();
  servers.clear();
}

// The Python objects: thin holders of the cores above.
struct Server {
  std::shared_ptr<ServerCore> core;
};

struct Subscription {
  std::shared_ptr<Watch> watch;
  std::string description;  // bytes, as the node id came
};

const char* const kModuleDoc = R"(Kestrix path translation from Python.

A Server is a handle on one Kestrix server; it translates paths between
hosts and operating systems, reports the server's rules and description,
and delivers node events::

    import kestrix
    with kestrix.Server("fileserver") as server:
        server.translate_paths(["/data/movies/a.mov"], dst_host="edit01")

kestrix.servers() lists the servers that discovery finds; watch_servers()
reports them as they come and go. Failures raise kestrix.Error (an OSError)
with the library's text. Network calls release the GIL. Callbacks run on the
library's threads with the GIL taken; an exception in one goes to
sys.unraisablehook. The library stops at interpreter exit, closing every
server and subscription first. KESTRIX_SECRET_FILE names the shared secret
as it does for the commands.)";

}  // namespace

PYBIND11_MODULE(kestrix, m) {
  m.doc() = kModuleDoc;
  m.attr("__version__") = KESTRIX_VERSION;
  py::register_exception<KestrixError>(m, "Error", PyExc_OSError).doc() =
      "A failure reported by the Kestrix library; str() gives its text.";

  gTypes = new Types;
  gTypes->osType = py::module_::import("enum").attr("IntEnum")(
      "OsType", py::make_tuple(py::make_tuple("UNKNOWN", 0), py::make_tuple("IRIX", 1),
                               py::make_tuple("LINUX", 2), py::make_tuple("WINDOWS_NT", 3),
                               py::make_tuple("MACOSX", 4)));
  gTypes->osType.attr("__module__") = "kestrix";
  gTypes->osType.attr("__doc__") =
      "Operating-system kinds with the numbers requests carry; dst_os takes these or their "
      "names 'Irix', 'Linux', 'WindowsNT', 'MacOSX'.";
  m.attr("OsType") = gTypes->osType;
  gTypes->serverInfo = namedTuple(
      m, "ServerInfo",
      "display_name host_name database storage_id node_port addresses version product_version",
      "A server's description: its names, database, storage id, node port, metadata addresses "
      "(tuple of str), protocol version (major, minor, maint, build) and product version text.");
  gTypes->translationGroup = namedTuple(
      m, "TranslationGroup", "name os_type hosts",
      "Hosts that see the storage the same way: group name, OsType, tuple of host names.");
  gTypes->hostTranslation =
      namedTuple(m, "HostTranslation", "src_host src_path dst_host dst_path",
                 "A path prefix on a source host and the prefix naming the same directory on a "
                 "destination host.");
  gTypes->osTypeTranslation = namedTuple(
      m, "OsTypeTranslation", "src_type src_path dst_type dst_path",
      "A path prefix between kinds of operating system (types as the server names them).");
  gTypes->event = namedTuple(m, "Event", "node_id type details",
                             "A node event: the node's id, the kind of change (e.g. 'Modified') "
                             "and a dict of details (str to str).");
  gTypes->serverEvent = namedTuple(
      m, "ServerEvent", "change server",
      "A change seen by discovery: 'added', 'updated' or 'removed', and the ServerInfo.");

  py::class_<Subscription>(m, "Subscription",
                           "A node-event or discovery subscription; close() ends it.")
      .def(
          "close",
          [](Subscription& s) {
            py::gil_scoped_release release;
            s.watch->close();
          },
          "Stops deliveries; no callback starts after it returns (one running on another "
          "thread may finish). Closing twice does nothing.")
      .def_property_readonly(
          "active", [](const Subscription& s) { return s.watch->active(); },
          "False once closed (or its server closed).")
      .def("__enter__", [](py::object self) { return self; })
      .def(
          "__exit__",
          [](Subscription& s, const py::args&) {
            py::gil_scoped_release release;
            s.watch->close();
          },
          "Closes the subscription.")
      .def("__repr__", [](const Subscription& s) {
        const std::string repr =
            "<kestrix.Subscription " + s.description + (s.watch->active() ? "" : " (closed)") + ">";
        return text(repr.data(), repr.size());
      });

  py::class_<Server>(m, "Server", R"(A handle on one Kestrix server.

identity names the server as the commands' -h does: "host", "host:DATABASE"
or "host:port"; None is the local host. Nothing is sent until the first
call; a Server is a context manager and close() ends it (and its
subscriptions). Rule lists are fetched once per Server.)")
      .def(py::init([](const py::object& identity) { return Server{openServer(identity)}; }),
           py::arg("identity") = py::none())
      .def_property_readonly(
          "identity", [](const Server& s) { return text(s.core->identity().c_str()); },
          "The identity text the Server was made with (the host name for None).")
      .def_property_readonly(
          "closed", [](const Server& s) { return s.core->closed(); }, "True once closed.")
      .def_property_readonly(
          "is_connected",
          [](const Server& s) {
            py::gil_scoped_release release;
            ServerCore::Use use(*s.core);
            return use.handle().isConnected();
          },
          "Whether the connection is up now; never connects.")
      .def(
          "translate_paths",
          [](Server& s, const py::object& paths, const py::object& dstHost, const py::object& dstOs,
             const py::object& srcHost, const py::object& srcOs) {
            return translatePaths(*s.core, paths, dstHost, dstOs, srcHost, srcOs);
          },
          py::arg("paths"), py::arg("dst_host") = py::none(), py::arg("dst_os") = py::none(),
          py::arg("src_host") = py::none(), py::arg("src_os") = py::none(),
          R"(Translates paths on src_host (default: the server's host) into paths on
dst_host (default: the server's host) running dst_os (an OsType or 'Irix',
'Linux', 'WindowsNT', 'MacOSX'; default: the destination's group's), in one
request. Returns one str per path, in order. A path holding ',' raises
ValueError before anything is sent (the reply joins answers with ',');
a failure raises kestrix.Error.)")
      .def(
          "ping",
          [](Server& s, double timeout) {
            if (!(timeout > 0 && timeout <= 3600))
              throw py::value_error("timeout must be above 0 and at most 3600 seconds");
            py::gil_scoped_release release;
            ServerCore::Use use(*s.core);
            const auto start = std::chrono::steady_clock::now();
            if (!use.handle().ping(static_cast<unsigned>(timeout * 1000))) use.fail();
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
          },
          py::arg("timeout") = 5.0,
          "Asks the server to answer within timeout seconds; returns the round trip in "
          "seconds, raises kestrix.Error when it does not answer.")
      .def_property_readonly(
          "info",
          [](Server& s) {
            KestrixServerInfo info;
            {
              py::gil_scoped_release release;
              ServerCore::Use use(*s.core);
              if (!use.handle().getInfo(info)) use.fail();
            }
            return serverInfoOf(info.getDaemonInfo());
          },
          "The server's description (ServerInfo); connects when needed.")
      .def(
          "translation_groups",
          [](Server& s) {
            return rules<KestrixServerHandle::TranslationGroup>(
                *s.core, &KestrixServerHandle::getNumTranslationGroups,
                &KestrixServerHandle::getTranslationGroup,
                [](const KestrixServerHandle::TranslationGroup& g) {
                  py::list hosts;
                  for (int i = 0; i < g.getNumHosts(); ++i) hosts.append(text(g.getHost(i)));
                  return gTypes->translationGroup(text(g.getGroupName()),
                                                  osTypeOf(KestrixOS::strToOsType(g.getOSType())),
                                                  py::tuple(hosts));
                });
          },
          "The server's translation groups, a list of TranslationGroup.")
      .def(
          "host_translations",
          [](Server& s) {
            return rules<KestrixServerHandle::HostTranslation>(
                *s.core, &KestrixServerHandle::getNumHostTranslations,
                &KestrixServerHandle::getHostTranslation,
                [](const KestrixServerHandle::HostTranslation& t) {
                  return gTypes->hostTranslation(text(t.getSourceHost()), text(t.getSourcePath()),
                                                 text(t.getDestinationHost()),
                                                 text(t.getDestinationPath()));
                });
          },
          "The server's host translations, a list of HostTranslation.")
      .def(
          "os_type_translations",
          [](Server& s) {
            return rules<KestrixServerHandle::OsTypeTranslation>(
                *s.core, &KestrixServerHandle::getNumOsTypeTranslations,
                &KestrixServerHandle::getOsTypeTranslation,
                [](const KestrixServerHandle::OsTypeTranslation& t) {
                  return gTypes->osTypeTranslation(text(t.getSourceType()), text(t.getSourcePath()),
                                                   text(t.getDestinationType()),
                                                   text(t.getDestinationPath()));
                });
          },
          "The server's OS type translations, a list of OsTypeTranslation.")
      .def(
          "watch",
          [](Server& s, const py::object& nodeId, py::function callback, const py::object& format,
             const py::object& metadata) {
            const std::string node = bytesOf(nodeId, "node_id");
            if (node.empty()) throw py::value_error("node_id must not be empty");
            if (node.find('\0') != std::string::npos)
              throw py::value_error("node_id holds a NUL character");
            const std::string fmt = bytesOf(format, "format");
            const std::string meta = bytesOf(metadata, "metadata");
            auto watch = std::make_shared<NodeWatch>(s.core, node, std::move(callback));
            {
              py::gil_scoped_release release;
              ServerCore::Use use(*s.core);
              if (!use.handle().registerEventHandler(node.c_str(), watch.get(), fmt.c_str(),
                                                     meta.c_str()))
                use.fail();
              s.core->add(watch);
            }
            return Subscription{watch, "of node " + node + " on " + s.core->identity()};
          },
          py::arg("node_id"), py::arg("callback"), py::arg("format") = "", py::arg("metadata") = "",
          py::keep_alive<0, 1>(),
          R"(Subscribes callback(event) to the node's events (kestrixd publishes its
rules as "kestrixd:rules"); event is an Event. Returns a Subscription,
which keeps the Server alive; it lasts until closed or until the Server is
closed or collected, and is sent again after the server restarts.)")
      .def(
          "close",
          [](Server& s) {
            py::gil_scoped_release release;
            s.core->close();
          },
          "Closes the subscriptions and the handle; later calls raise kestrix.Error. "
          "Closing twice does nothing.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__",
           [](Server& s, const py::args&) {
             py::gil_scoped_release release;
             s.core->close();
           })
      .def("__repr__", [](const Server& s) {
        const std::string repr = "<kestrix.Server '" + s.core->identity() + "'" +
                                 (s.core->closed() ? " (closed)" : "") + ">";
        return text(repr.data(), repr.size());
      });

  m.def("servers", &listServers, py::arg("database") = py::none(), py::arg("wait") = 1.0,
        R"(The servers discovery finds (of database, all when None), as a list of
ServerInfo in display-name order. Waits until answers stop coming for a
moment, wait seconds at most.)");
  m.def(
      "watch_servers",
      [](py::function callback) {
        auto watch = std::make_shared<ServerWatch>(std::move(callback));
        {
          py::gil_scoped_release release;
          startLibrary();
          discovery().add(watch);
          discovery().start();
        }
        return Subscription{watch, "of discovery"};
      },
      py::arg("callback"),
      R"(Calls callback(event) with a ServerEvent for each server discovery adds,
updates or removes, on discovery's thread, until the returned Subscription
is closed. Discovery waits for the callback: keep it short.)");

  py::module_::import("atexit").attr("register")(py::cpp_function(&shutDown));
}

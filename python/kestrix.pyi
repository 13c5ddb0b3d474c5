"""Kestrix path translation from Python.

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
as it does for the commands.
"""

import enum
from collections.abc import Callable, Sequence
from types import TracebackType
from typing import NamedTuple

__version__: str

class Error(OSError):
    """A failure reported by the Kestrix library; str() gives its text."""

class OsType(enum.IntEnum):
    """Operating-system kinds with the numbers requests carry; dst_os takes these or their names 'Irix', 'Linux', 'WindowsNT', 'MacOSX'."""

    UNKNOWN = 0
    IRIX = 1
    LINUX = 2
    WINDOWS_NT = 3
    MACOSX = 4

class ServerInfo(NamedTuple):
    """A server's description: its names, database, storage id, node port, metadata addresses (tuple of str), protocol version (major, minor, maint, build) and product version text."""

    display_name: str
    host_name: str
    database: str
    storage_id: str
    node_port: int
    addresses: tuple[str, ...]
    version: tuple[int, int, int, int]
    product_version: str

class TranslationGroup(NamedTuple):
    """Hosts that see the storage the same way: group name, OsType, tuple of host names."""

    name: str
    os_type: OsType
    hosts: tuple[str, ...]

class HostTranslation(NamedTuple):
    """A path prefix on a source host and the prefix naming the same directory on a destination host."""

    src_host: str
    src_path: str
    dst_host: str
    dst_path: str

class OsTypeTranslation(NamedTuple):
    """A path prefix between kinds of operating system (types as the server names them)."""

    src_type: str
    src_path: str
    dst_type: str
    dst_path: str

class Event(NamedTuple):
    """A node event: the node's id, the kind of change (e.g. 'Modified') and a dict of details (str to str)."""

    node_id: str
    type: str
    details: dict[str, str]

class ServerEvent(NamedTuple):
    """A change seen by discovery: 'added', 'updated' or 'removed', and the ServerInfo."""

    change: str
    server: ServerInfo

class Subscription:
    """A node-event or discovery subscription; close() ends it."""

    @property
    def active(self) -> bool:
        """False once closed (or its server closed)."""
    def close(self) -> None:
        """Stops deliveries; no callback starts after it returns (one running on another thread may finish). Closing twice does nothing."""
    def __enter__(self) -> Subscription: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        """Closes the subscription."""

class Server:
    """A handle on one Kestrix server.

    identity names the server as the commands' -h does: "host", "host:DATABASE"
    or "host:port"; None is the local host. Nothing is sent until the first
    call; a Server is a context manager and close() ends it (and its
    subscriptions). Rule lists are fetched once per Server.
    """

    def __init__(self, identity: str | None = None) -> None: ...
    @property
    def identity(self) -> str:
        """The identity text the Server was made with (the host name for None)."""
    @property
    def closed(self) -> bool:
        """True once closed."""
    @property
    def is_connected(self) -> bool:
        """Whether the connection is up now; never connects."""
    @property
    def info(self) -> ServerInfo:
        """The server's description (ServerInfo); connects when needed."""
    def translate_paths(
        self,
        paths: Sequence[str],
        dst_host: str | None = None,
        dst_os: OsType | str | None = None,
        src_host: str | None = None,
        src_os: OsType | str | None = None,
    ) -> list[str]:
        """Translates paths on src_host (default: the server's host) into paths on
        dst_host (default: the server's host) running dst_os (an OsType or 'Irix',
        'Linux', 'WindowsNT', 'MacOSX'; default: the destination's group's), in one
        request. Returns one str per path, in order. A path holding ',' raises
        ValueError before anything is sent (the reply joins answers with ',');
        a failure raises kestrix.Error."""
    def ping(self, timeout: float = 5.0) -> float:
        """Asks the server to answer within timeout seconds; returns the round trip in seconds, raises kestrix.Error when it does not answer."""
    def translation_groups(self) -> list[TranslationGroup]:
        """The server's translation groups, a list of TranslationGroup."""
    def host_translations(self) -> list[HostTranslation]:
        """The server's host translations, a list of HostTranslation."""
    def os_type_translations(self) -> list[OsTypeTranslation]:
        """The server's OS type translations, a list of OsTypeTranslation."""
    def watch(
        self,
        node_id: str,
        callback: Callable[[Event], object],
        format: str = "",
        metadata: str = "",
    ) -> Subscription:
        """Subscribes callback(event) to the node's events (kestrixd publishes its
        rules as "kestrixd:rules"); event is an Event. Returns a Subscription,
        which keeps the Server alive; it lasts until closed or until the Server is
        closed or collected, and is sent again after the server restarts."""
    def close(self) -> None:
        """Closes the subscriptions and the handle; later calls raise kestrix.Error. Closing twice does nothing."""
    def __enter__(self) -> Server: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None: ...

def servers(database: str | None = None, wait: float = 1.0) -> list[ServerInfo]:
    """The servers discovery finds (of database, all when None), as a list of
    ServerInfo in display-name order. Waits until answers stop coming for a
    moment, wait seconds at most."""

def watch_servers(callback: Callable[[ServerEvent], object]) -> Subscription:
    """Calls callback(event) with a ServerEvent for each server discovery adds,
    updates or removes, on discovery's thread, until the returned Subscription
    is closed. Discovery waits for the callback: keep it short."""

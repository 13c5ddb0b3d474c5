"""The kestrix module against kestrixd processes of its own; CTest runs this
inside a network namespace of its own (tools/netns-run --own)."""
import configparser
import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

import kestrix

PORT, SECRET_PORT = 7549, 7551
ADDRESS = f"127.0.0.1:{PORT}"


def wait_for(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def start_daemon(work, rules_text, port):
    work.mkdir()
    (work / "rules.conf").write_text(rules_text)
    log = work / "log"
    with open(log, "w") as out:
        proc = subprocess.Popen(
            [os.environ["KESTRIXD"], "-c", str(work / "rules.conf"), "-p", str(port)],
            stdout=out, stderr=subprocess.STDOUT, env=dict(os.environ, STATE_DIRECTORY=str(work)))
    assert wait_for(lambda: "serving" in log.read_text()), log.read_text()
    return proc


@pytest.fixture(scope="module")
def daemon(tmp_path_factory):
    with open(os.environ["KESTRIX_RULES"]) as f:
        text = re.sub("^# HostName = fileserver$", "HostName = fileserver", f.read(), flags=re.M)
    work = tmp_path_factory.mktemp("kestrixd") / "main"
    proc = start_daemon(work, text, PORT)
    yield work / "rules.conf", proc
    proc.terminate()
    proc.wait(10)


@pytest.fixture
def server(daemon):
    with kestrix.Server(ADDRESS) as s:
        yield s


def rules(path):
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str
    parser.read(path)
    return {kind: [parser[s] for s in parser.sections() if s.startswith(kind + " ")]
            for kind in ("Group", "HostTranslation", "OsTypeTranslation")}


def test_translates_as_the_command_does(server, daemon):
    host = rules(daemon[0])["HostTranslation"][0]
    paths = [host["srcPath"] + "/a b.mov", "/data/x", "/data/movies", "/data/\u00e9t\u00e9"]
    mine = server.translate_paths(paths, dst_host=host["dstHost"])
    assert mine[0] == host["dstPath"] + "a b.mov" and len(mine) == len(paths)
    for path, answer in zip(paths, mine):
        command = subprocess.run([os.environ["KESTRIX_TRANSLATE_PATH"], "-h", ADDRESS, "-p", path,
                                  "-H", host["dstHost"]], capture_output=True, text=True)
        assert command.stdout == answer + "\n"
    by_name = server.translate_paths(["/data/a"], dst_host="newhost", dst_os="mAcOsX")
    assert by_name == server.translate_paths(["/data/a"], "newhost", kestrix.OsType.MACOSX)
    assert by_name != server.translate_paths(["/data/a"], "newhost", kestrix.OsType.WINDOWS_NT)
    assert server.translate_paths([]) == []


def test_refuses_what_it_cannot_send_and_reports_failures(server):
    with pytest.raises(ValueError, match="','"):
        server.translate_paths(["/data/a", "/data/b,c"])
    with pytest.raises(ValueError, match="BeOS"):
        server.translate_paths(["/data/a"], dst_os="BeOS")
    with pytest.raises(kestrix.Error, match="No translation for path '/elsewhere'"):
        server.translate_paths(["/data/a", "/elsewhere"], dst_host="edit01")
    for wrong in ("/data/a", [b"/data/a"]):
        with pytest.raises(TypeError):
            server.translate_paths(wrong)
    for identity in ("127.0.0.1:1", "127.0.0.1:NODB"):
        with kestrix.Server(identity) as bad, pytest.raises(kestrix.Error) as failure:
            bad.translate_paths(["/data/a"])
        assert isinstance(failure.value, OSError) and str(failure.value)
    assert "refused" in str(pytest.raises(kestrix.Error, kestrix.Server("127.0.0.1:1").ping).value)
    server.close()
    with pytest.raises(kestrix.Error, match="closed"):
        server.translate_paths(["/data/a"])


def test_describes_the_server_and_its_rules(server, daemon):
    expected = rules(daemon[0])
    assert server.ping() > 0
    info = server.info
    assert (info.display_name, info.host_name, info.node_port) == ("Studio File Server",
                                                                    "fileserver", PORT)
    assert "127.0.0.1" in info.addresses and info.version[0] > 0
    with kestrix.Server() as local:  # the local host by name, found by discovery
        assert local.info.storage_id == info.storage_id
    groups = [(g.name, g.os_type.name.replace("_", ""), ", ".join(g.hosts))
              for g in server.translation_groups()]
    assert groups == [(s.name.split(" ", 1)[1], s["OsType"].upper(), s["Hosts"])
                      for s in expected["Group"]]
    # The example's keys come in the records' order.
    assert server.host_translations() == [tuple(s.values()) for s in expected["HostTranslation"]]
    assert server.os_type_translations() == [
        tuple(s.values()) for s in expected["OsTypeTranslation"]]
    listed = [s for s in kestrix.servers() if s.node_port == PORT]
    assert [s.storage_id for s in listed] == [info.storage_id]
    assert kestrix.servers("NODB", wait=0.3) == []


def test_watch_sees_a_reload_despite_a_failing_callback(server, daemon, monkeypatch):
    (path, proc), events, failures = daemon, queue.Queue(), []
    monkeypatch.setattr(sys, "unraisablehook", failures.append)
    with server.watch("kestrixd:rules", lambda event: 1 / 0), \
            server.watch("kestrixd:rules", events.put) as sub:
        groups = len(server.translation_groups())
        text = path.read_text() + "\n[Group added]\nOsType = Linux\nHosts = newhost\n"
        (path.parent / "new.conf").write_text(text)
        os.rename(path.parent / "new.conf", path)
        proc.send_signal(signal.SIGHUP)
        event = events.get(timeout=10)
        assert (event.node_id, event.type) == ("kestrixd:rules", "Modified")
        assert event.details["Groups"] == str(groups + 1)
        assert wait_for(lambda: failures) and isinstance(failures[0].exc_value, ZeroDivisionError)
    assert not sub.active


def test_threads_translate_in_parallel(server):
    paths = [f"/data/movies/{i}" for i in range(500)]
    expected = server.translate_paths(paths, dst_host="edit01")
    results = []

    def work(own):
        results.append((kestrix.Server(ADDRESS) if own else server).translate_paths(paths, "edit01"))
    threads = [threading.Thread(target=work, args=(i % 2 == 0,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert results == [expected] * 8


def test_discovery_and_the_secret(daemon, tmp_path):
    changes = queue.Queue()
    secret = tmp_path / "secret"
    secret.write_text("correct horse\n")
    secret.chmod(0o600)
    text = f"[Server]\nDisplayName = Guarded\n[Access]\nSecretFile = {secret}\n"
    with kestrix.watch_servers(changes.put):
        proc = start_daemon(tmp_path / "guarded", text, SECRET_PORT)
        try:
            added = changes.get(timeout=10)
            assert (added.change, added.server.display_name) == ("added", "Guarded")
            with pytest.raises(kestrix.Error, match="Authentication failed"):
                kestrix.Server(f"127.0.0.1:{SECRET_PORT}").ping()
            code = f"import kestrix; kestrix.Server('127.0.0.1:{SECRET_PORT}').ping()"
            subprocess.run([sys.executable, "-c", code], check=True, timeout=30,
                           env=dict(os.environ, KESTRIX_SECRET_FILE=str(secret)))
        finally:
            proc.terminate()
            proc.wait(10)
        assert wait_for(lambda: changes.get(timeout=10).change == "removed")


def test_interpreter_exits_with_live_handles_and_subscriptions(daemon):
    code = f"""if True:
        import kestrix, threading
        s = kestrix.Server('{ADDRESS}')
        sub = s.watch('kestrixd:rules', print)
        kestrix.watch_servers(lambda event: None)
        busy = lambda: [s.translate_paths(['/data/a']) for _ in iter(int, 1)]
        threading.Thread(target=busy, daemon=True).start()
        print(s.translate_paths(['/data/a']))
        """
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0 and done.stdout == "['/data/a']\n", done

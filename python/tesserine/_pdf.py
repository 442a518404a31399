"""PDF through LibreOffice headless: many documents per start of `soffice`.

Starting LibreOffice costs about a second; converting a letter, a few tens of
milliseconds. So documents are converted in batches, one `soffice` run per batch,
each concurrent run with a user profile of its own (two runs on one profile
block each other), kept for the life of the process so that later runs skip
setting it up.
"""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import tempfile
import threading
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from multiprocessing import util
from pathlib import Path

from ._errors import TesserineError

DocumentInput = bytes | str | os.PathLike[str]

_PACKAGE = "libreoffice-writer-nogui"
_PDF_MAGIC = b"%PDF-"
# Seconds for a batch: LibreOffice's start, then each document.
_START_SECONDS = 60.0
_DOCUMENT_SECONDS = 10.0
_STDERR_EXCERPT = 300
# LibreOffice fetches pictures a document links to while converting it; a document from
# anyone could then make this machine request any address it can reach. The setting
# blocks links from documents outside trusted locations, which is all of ours.
_SETTINGS = Path("user", "registrymodifications.xcu")
_NO_OUTSIDE_LINKS = """<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema">
<item oor:path="/org.openoffice.Office.Common/Security/Scripting">\
<prop oor:name="BlockUntrustedRefererLinks" oor:op="fuse"><value>true</value></prop></item>
</oor:items>
"""


class PdfUnavailableError(TesserineError):
    """LibreOffice, which converts documents to PDF, is not installed."""


class PdfConversionError(TesserineError):
    """LibreOffice did not turn a document into a PDF."""


def find_soffice() -> str:
    """The LibreOffice command on PATH, or a clear error saying what to install."""
    for name in ("soffice", "libreoffice"):
        path = shutil.which(name)
        if path is not None:
            return path
    raise PdfUnavailableError(
        "PDF output needs LibreOffice, and no 'soffice' command was found on PATH: "
        f"install it (Debian and Ubuntu: apt install {_PACKAGE})"
    )


class _Profiles:
    """LibreOffice user profiles of this process, one per concurrent conversion."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._idle: list[str] = []
        self._owner = os.getpid()

    @contextmanager
    def lease(self) -> Iterator[str]:
        with self._lock:
            # A forked child must not share its parent's profiles with it.
            if self._owner != os.getpid():
                self._idle, self._owner = [], os.getpid()
            profile = self._idle.pop() if self._idle else self._create()
        try:
            yield profile
        finally:
            with self._lock:
                if self._owner == os.getpid():
                    self._idle.append(profile)

    @staticmethod
    def _create() -> str:
        path = tempfile.mkdtemp(prefix="tesserine-libreoffice-")
        # Worker processes leave through os._exit, which skips atexit; multiprocessing
        # still runs its own finalizers there, and atexit runs them in other processes.
        util.Finalize(None, shutil.rmtree, args=(path, True), exitpriority=0)
        return path


_profiles = _Profiles()


def convert_to_pdf(
    documents: Sequence[DocumentInput],
    *,
    timeout: float | None = None,
) -> list[bytes | PdfConversionError]:
    """Convert .docx documents (bytes or paths) to PDF with one start of LibreOffice.

    Returns, in order, each document's PDF or the error for that document. The
    whole batch fails together only when LibreOffice does not finish within
    `timeout` seconds (by default a minute plus ten seconds per document) or
    cannot be started.
    """
    if not documents:
        return []
    soffice = find_soffice()
    limit = _START_SECONDS + _DOCUMENT_SECONDS * len(documents) if timeout is None else timeout
    with tempfile.TemporaryDirectory(prefix="tesserine-pdf-") as work, _profiles.lease() as profile:
        inputs = Path(work, "in")
        outputs = Path(work, "out")
        inputs.mkdir()
        width = len(str(len(documents)))
        names = [f"{index:0{width}d}" for index in range(len(documents))]
        for name, document in zip(names, documents, strict=True):
            target = inputs / f"{name}.docx"
            if isinstance(document, bytes):
                target.write_bytes(document)
            else:
                # A link is enough: LibreOffice only reads the input.
                os.symlink(os.path.abspath(document), target)
        settings = Path(profile, _SETTINGS)
        if not settings.exists():
            # A new profile, or one set up afresh after a failed run.
            settings.parent.mkdir(parents=True, exist_ok=True)
            settings.write_text(_NO_OUTSIDE_LINKS, encoding="utf-8")
        command = [
            soffice, "--headless", "--norestore", "--nologo", "--nodefault", "--nolockcheck",
            f"-env:UserInstallation={Path(profile).as_uri()}",
            "--convert-to", "pdf:writer_pdf_Export", "--outdir", str(outputs),
            *(str(inputs / f"{name}.docx") for name in names),
        ]
        failure = _run(command, limit)
        if failure is not None:
            # A killed or failed run may leave the profile half written; the next
            # run on this path sets up a fresh one.
            shutil.rmtree(profile, ignore_errors=True)
            return [PdfConversionError(failure) for _ in documents]
        return [_read_pdf(outputs / f"{name}.pdf") for name in names]


def _run(command: list[str], timeout: float) -> str | None:
    """Run LibreOffice; a message if the run as a whole failed."""
    try:
        # A session of its own, so that a timeout kills soffice.bin as well as its launcher.
        process = subprocess.Popen(
            command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            start_new_session=True,
        )
    except OSError as error:
        return f"LibreOffice could not be started ({command[0]}): {error.strerror or error}"
    try:
        _, stderr = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        return f"LibreOffice did not finish converting within {timeout:g} seconds"
    except BaseException:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        raise
    if process.returncode != 0:
        excerpt = stderr.decode("utf-8", "replace").strip()[:_STDERR_EXCERPT]
        return f"LibreOffice failed with exit status {process.returncode}: {excerpt or 'no message'}"
    return None


def _read_pdf(path: Path) -> bytes | PdfConversionError:
    try:
        data = path.read_bytes()
    except OSError:
        return PdfConversionError("LibreOffice wrote no PDF for this document (is it one that LibreOffice can open?)")
    if not data.startswith(_PDF_MAGIC):
        return PdfConversionError("LibreOffice wrote a file that is not a PDF for this document")
    return data


def to_pdf(document: bytes, *, timeout: float | None = None) -> bytes:
    """One document's PDF; raises the conversion's error."""
    [result] = convert_to_pdf([document], timeout=timeout)
    if isinstance(result, PdfConversionError):
        raise result
    return result

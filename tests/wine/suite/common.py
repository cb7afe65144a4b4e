"""Constants, the test newdev.dll's scripted answers and text helpers shared by
every module of the suite."""
import os

WINE = "/usr/lib/wine/wine64"
WINESERVER = "wineserver"
# tests/wine, the folder of wine_suite.py
HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE32_SCRIPT = os.path.join(HERE, "..", "..", "kit", "lib", "wine32.sh")
AGENT = os.path.join(HERE, "namespace_agent.py")
INNO_SCRIPT = os.path.join(HERE, "..", "..", "kit", "inno", "quorin64-setup.iss")
CHECK_PACKAGE = os.path.join(HERE, "..", "..", "kit", "check-package.py")
EXIT_CODES = os.path.join(HERE, "..", "..", "docs", "exit-codes.tsv")
# The server outlives the last Wine process by this long, so a run that is
# killed before its cleanup still leaves nothing behind for long.
SERVER_PERSIST_SECONDS = 60
CALL_TIMEOUT = 90
PROGRAM_TIME_LIMIT_MS = 30000

ENUM = b"System\\CurrentControlSet\\Enum"
SERVICE_KEY = b"System\\CurrentControlSet\\Services\\TALMERIX"
DEV = b"USB\\VID_1F3A&PID_0C21"
# The hardware IDs of the setups for several (tests/wine/CMakeLists.txt's
# QUORIN_SETUP_IDS).
SETUP_IDS = (DEV, b"USB\\VID_1F3A&PID_1001", b"USB\\VID_1F3A&PID_1002")
ERROR_BOX = (0, "Can't perform registry operation, driver install not complete.", "Error", 0)
DEBUG_BOX = (0, "UpdateDriver 32Bit", "Debug", 0)  # owner, text, caption, MB_OK
# The x86 program's INF path: the Windows directory's drive root, this
# folder, then the INF name without a separator.
X86_INF_FOLDER = b"C:\\Program Files\\Common Files\\VID_1F3A&PID_0C21\\Salvenport\\QarnoD217"

ERROR_FILE_NOT_FOUND = 2
ERROR_INVALID_FLAGS = 1004
ERROR_NO_SUCH_DEVINST = 0xE000020B
ERROR_IN_WOW64 = 0xE0000235
ERROR_ACCESS_DENIED = 5
ERROR_SUCCESS = 0
DENY_WRITE_DAC = "D:P(D;;WD;;;WD)(A;;KA;;;WD)"


# Scripted answers of the test newdev.dll: returned BOOL, last-error code,
# restart flag; "plant" makes it add a stale instance after answering. AUTO
# fails with ERROR_FILE_NOT_FOUND when the INF path does not exist and
# succeeds otherwise; "spoil" makes it overwrite the INF after answering, so
# that staging it fails.
def succeeds(restart=0, last_error=ERROR_SUCCESS, stage=False):
    """stage: the INF goes into the driver store too, as with Windows' own
    update."""
    return "1 %d %d%s" % (last_error, restart, " stage" if stage else "")


def fails(last_error, restart=0, plant=False, spoil=False):
    return "0 %d %d%s%s" % (last_error, restart, " plant" if plant else "",
                            " spoil" if spoil else "")


AUTO = "auto"


# Wine's code page 1252 passes the five bytes it leaves undefined through as
# the code points of the same value.
CP1252_UNDEFINED = {0x81, 0x8D, 0x8F, 0x90, 0x9D}


def ansi_text(raw):
    return "".join(chr(b) if b in CP1252_UNDEFINED else bytes([b]).decode("cp1252")
                   for b in raw)


def ansi_bytes(text):
    return b"".join(bytes([ord(c)]) if ord(c) in CP1252_UNDEFINED else c.encode("cp1252")
                    for c in text)


def windows_path(unix_path):
    return b"Z:" + ansi_bytes(os.path.abspath(unix_path).replace("/", "\\"))


def unix_path(windows):
    assert windows[:3] == b"Z:\\", windows
    return ansi_text(windows[2:]).replace("\\", "/")


def signed32(value):
    return value - (1 << 32) if value >= 1 << 31 else value


def show(raw):
    """Bytes for a message: printable ASCII as is, other bytes as \\xNN."""
    if not isinstance(raw, bytes):
        return repr(raw)
    return "'%s'" % "".join(chr(b) if 32 <= b < 127 else "\\x%02x" % b for b in raw)


def text_argument(argument):
    return argument if isinstance(argument, (bytes, str)) else str(argument)


# The packages the suite is given: with the test driver package, the same
# at a higher version, and the first built again (same version, a new
# product code); an author's package at 1.0 and 1.1 (folders in "author").
MSI_PACKAGES = ("driver", "upgrade", "rebuild", "author-1.0", "author-1.1")

"""Signed releases for the end-to-end suites of the signed program (the one built with the tests'
key, test_update_key.pem): a release below a server root's Update/ as kestrin-publish lays it
out, written here and signed with openssl (the Windows build has no kestrin-publish), and the
ways of spoiling one that the program must refuse, as one table for both suites."""
import glob
import hashlib
import os
import struct
import sys
import subprocess
import tempfile
import time

from local_ftp import write_files

KEY = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'test_update_key.pem')
# The other key the tests' signed program knows (listed first; KEY is the second).
OTHER_KNOWN_KEY = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'test_update_key_2.pem')
PRODUCT = 'Tamwix'
UNVERIFIED = 'The update on the server could not be verified.\nNothing was changed.'
# The release every case starts from, and the installed release it is not newer than.
FILES = {'a.txt': b'new a\r\n', 'data/b.bin': bytes(range(256)) * 64 + b'\x1a\x00end',
         'c.txt': b'new c', 'd.txt': b'new d'}
VERSION = ('2', 'B')
# Listed after any copy was made: every listed file is fetched.
DATE = '2099-01-01'


def sign(update, key=KEY):
    """Signs update/Manifest.txt into update/Manifest.sig (DER ECDSA over SHA-256)."""
    subprocess.run(['openssl', 'dgst', '-sha256', '-sign', key, '-out',
                    os.path.join(update, 'Manifest.sig'), os.path.join(update, 'Manifest.txt')],
                   check=True, capture_output=True)


def publish(root, dates=None, files=FILES, dropped=None):
    """Writes the release files (FILES unless given) of VERSION below root/Update, each listed
    with DATE unless dates names another, and with dropped ({name: [contents]}) its Dropped.txt,
    signed with KEY, expiring in a day; returns its serial, the time now."""
    update = os.path.join(root, 'Update')
    served = dict(files)
    served['Version.txt'] = ('%s release\r\n%s\r\n%s\r\n' % ((PRODUCT,) + VERSION)).encode()
    served['File_list.txt'] = ''.join('%s\r\n%s\r\n' % (name, (dates or {}).get(name, DATE))
                                      for name in files).encode()
    if dropped is not None:
        served['Dropped.txt'] = ''.join(['kestrin-dropped 1\n'] + [
            'dropped %d %s %s\n' % (len(data), hashlib.sha256(data).hexdigest(), name)
            for name, contents in dropped.items() for data in contents]).encode()
    write_files(update, served)
    serial = int(time.time())
    write_manifest(update, ['kestrin-manifest 1', 'product ' + PRODUCT, 'serial %d' % serial,
                            'expires ' + instant(time.time() + 86400)] +
                   ['file %d %s %s' % (len(data), hashlib.sha256(data).hexdigest(), name)
                    for name, data in served.items()])
    return serial


def sized_needlessly(commands):
    """The files a run asked the SIZE of although the manifest records it (commands: the run's
    commands as the server logged them): none but the manifest and the lists, and a file that
    goes on where it was cut off (its SIZE comes before the REST)."""
    retried = {c[len('RETR '):] for c in commands if c.startswith('RETR ') and
               commands.count(c) > 1}
    return {c[len('SIZE '):] for c in commands if c.startswith('SIZE ')} - retried - {
        'Update/' + name for name in ('Manifest.txt', 'Manifest.sig', 'Version.txt',
                                      'File_list.txt')}


def instant(seconds):
    return time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(seconds))


def write_manifest(update, lines, key=KEY):
    with open(os.path.join(update, 'Manifest.txt'), 'wb') as f:
        f.write(''.join(line + '\n' for line in lines).encode('latin-1'))
    sign(update, key)


def manifest_lines(update):
    with open(os.path.join(update, 'Manifest.txt'), encoding='latin-1') as f:
        return f.read().splitlines()


def resign(update, edit, key=KEY):
    """Rewrites the manifest with edit(lines) and signs it again with key."""
    write_manifest(update, edit(manifest_lines(update)), key)


def serial_of(update):
    return int(next(line for line in manifest_lines(update) if line.startswith('serial '))[7:])


def alter(update, name, old, new):
    """Replaces old by new, as long, in a served file: only its SHA-256 can tell."""
    with open(os.path.join(update, *name.split('/')), 'rb') as f:
        data = f.read()
    assert len(old) == len(new) and old in data, (name, old)
    write_files(update, {name: data.replace(old, new, 1)})


def another_key(update):
    """Signs the manifest with a key of its own, made for the purpose."""
    with tempfile.TemporaryDirectory() as work:
        key = os.path.join(work, 'other.pem')
        subprocess.run(['openssl', 'genpkey', '-algorithm', 'EC', '-pkeyopt',
                        'ec_paramgen_curve:P-256', '-out', key], check=True, capture_output=True)
        sign(update, key)


def spoil_files(update):
    alter(update, 'a.txt', b'new', b'bad')
    write_files(update, {'data/b.bin': FILES['data/b.bin'][:1000]})
    resign(update, lambda lines: [line for line in lines if not line.endswith(' c.txt')])


def cut_files(update):
    """Two files cut off once each: one goes on where it stopped, the other (its server refusing
    REST) is sent whole again; the hash of each must hold over the tries."""
    write_files(update, {'data/b.bin.fault': 'drop-after-5000 once',
                         'c.txt.fault': 'drop-after-2 once norest'})


def replayed(update):
    """The manifest as a user sees it who accepted a later one before: the settings to store."""
    return {'ManifestSerial': str(serial_of(update) + 1)}


# (what, spoil(update directory) returning the settings to store first or None, the outcome of
# each listed file on the Update button; None: the release is refused whole, with one message,
# and nothing but the manifest and the lists is fetched.)
CASES = [
    ('a genuine release', lambda update: None,
     {name: 'Updated' for name in FILES}),
    # Needs a server with --named-faults; the faults hold once, so later cases never meet them.
    ('files cut off in transfer', cut_files, {name: 'Updated' for name in FILES}),
    ('a file altered after signing, one cut short, one without a record', spoil_files,
     {'a.txt': 'Failed', 'data/b.bin': 'Failed', 'c.txt': 'Failed', 'd.txt': 'Updated'}),
    ('an altered File_list.txt',
     lambda update: alter(update, 'File_list.txt', b'2099-01-01', b'2099-01-02'), None),
    ('an altered Version.txt claiming a newer release',
     lambda update: alter(update, 'Version.txt', b'\n2\r', b'\n9\r'), None),
    ('a manifest signed by another key', another_key, None),
    ('a manifest signed by the other key the program knows',
     lambda update: sign(update, OTHER_KNOWN_KEY), {name: 'Updated' for name in FILES}),
    ('no signature', lambda update: os.remove(os.path.join(update, 'Manifest.sig')), None),
    ('an empty signature', lambda update: write_files(update, {'Manifest.sig': b''}), None),
    ('an expired manifest', lambda update: resign(update, lambda lines: [
        'expires ' + instant(time.time() - 60) if line.startswith('expires ') else line
        for line in lines]), None),
    ('a replayed older manifest', replayed, None),
    # What is stored is no plain serial: it is never taken for a lower one, nor replaced.
    ('a stored serial with a space before it', lambda update: {'ManifestSerial': ' 300'}, None),
    ('a stored serial with a letter after it', lambda update: {'ManifestSerial': '300x'}, None),
]


# The listed dates of the release whose copies a signed program holds to their content: by the
# dates alone the first two copies would stay whatever they hold, the other two be fetched.
CONTENT_DATES = {'a.txt': '2001-01-01', 'data/b.bin': '2001-01-01'}


def changed_in_place(product, *names):
    """Changes the first byte of each copy, keeping its size and its modification time."""
    for name in names:
        path = os.path.join(product, *name.split('/'))
        stat = os.stat(path)
        with open(path, 'r+b') as f:
            first = f.read(1)
            f.seek(0)
            f.write(bytes([first[0] ^ 1]))
        os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))


def cut_and_removed(product):
    with open(os.path.join(product, 'data', 'b.bin'), 'r+b') as f:
        f.truncate(100)
    os.remove(os.path.join(product, 'c.txt'))


# A signed program's local copies, after a run that found them all current (and kept their
# hashes): (what, change(product directory), the names fetched again), each row on what the one
# before left.
CONVERGENCE = [
    ('every copy current, whatever its listed date', lambda product: None, set()),
    ('two copies changed in place, their sizes and modification times kept',
     lambda product: changed_in_place(product, 'a.txt', 'd.txt'), {'a.txt', 'd.txt'}),
    ('a copy cut short, one removed', cut_and_removed, {'data/b.bin', 'c.txt'}),
]


def converged_outcomes(fetched):
    return {name: 'Updated' if name in fetched else 'Unchanged' for name in FILES}


# A server that fails the release its own way, with a good mirror behind it: (what, spoil(the
# server's update directory), the options its server is started with, the environment of the
# run, the names the mirror must send). Every file must land as released, with no message.
# Needs a server with --named-faults whose faults hold on every try.
FAILOVER = [
    ('a file cut off on every try', lambda update: write_files(update, {
        'data/b.bin.fault': 'drop-after-2'}), [], {}, {'data/b.bin'}),
    ('a file served with other bytes of its size',
     lambda update: alter(update, 'a.txt', b'new', b'bad'), [], {}, {'a.txt'}),
    ('a file served short',
     lambda update: write_files(update, {'data/b.bin': FILES['data/b.bin'][:1000]}), [], {},
     {'data/b.bin'}),
    ('File_list.txt served altered',
     lambda update: alter(update, 'File_list.txt', b'2099-01-01', b'2099-01-02'), [], {},
     {'File_list.txt'} | set(FILES)),
    # Further connections hold their files to the manifest as the run's own connection does.
    ('four connections, a file served with other bytes of its size',
     lambda update: alter(update, 'd.txt', b'new', b'bad'), [],
     {'KESTRIN_TRANSFER_CONNECTIONS': '4'}, {'d.txt'}),
    # A manifest that keeps coming, above the floor rate, for hours were it not for the time
    # the release's files have on a server (shortened to 3 s here).
    ('a manifest without end at 1.6 KiB/s, SIZE refused',
     lambda update: write_files(update, {'Manifest.txt.fault': 'endless'}),
     ['--bandwidth', '1600'], {'KESTRIN_RELEASE_DEADLINE_MS': '3000'},
     {'Manifest.txt'} | set(FILES)),
]


def cache_files(cache_directory):
    """The content caches the program keeps in its cache directory."""
    return glob.glob(os.path.join(cache_directory, 'content-*.cache'), recursive=True)


def cache_entries(data):
    """The entries of a content cache's bytes, in order: (listed name, offset of its stamp)."""
    number = lambda at: int.from_bytes(data[at:at + 4], sys.byteorder)
    at = 8 + 4 + number(8)
    entries = []
    for _ in range(number(at)):
        length = number(at + 4)
        entries.append((data[at + 8:at + 8 + length].decode('latin-1'), at + 8 + length))
        at += 4 + length + 80
    return entries


def restamp(cache, name, path):
    """Puts the present stamp of the copy at path (a POSIX path) in the cache's entry of the
    listed name, as a write that moved no time of the copy would have left the cache."""
    with open(cache, 'rb') as f:
        data = bytearray(f.read())
    st = os.stat(path)
    for listed, at in cache_entries(data):
        if listed == name:
            data[at:at + 40] = struct.pack('=QqqQQ', st.st_size, st.st_mtime_ns, st.st_ctime_ns,
                                           st.st_dev, st.st_ino)
    with open(cache, 'wb') as f:
        f.write(data)


def spoil_last_digest(cache):
    """Makes the digest of the cache's last entry wrong (it ends the file); returns the listed
    name of that entry."""
    with open(cache, 'r+b') as f:
        data = f.read()
        f.seek(-1, os.SEEK_END)
        f.write(bytes([data[-1] ^ 1]))
    return cache_entries(data)[-1][0]


# A release that no longer lists d.txt, and what its Dropped.txt records: the contents the
# publisher gave under each name it dropped. c.txt is listed and recorded both: it stays.
DROPPING_FILES = {name: data for name, data in FILES.items() if name != 'd.txt'}
DROPPED = {'d.txt': [b'older d', FILES['d.txt']], 'gone/e.dll': [b'e 1'], 'dir.dll': [b'x'],
           'link.dll': [b'x'], 'c.txt': [FILES['c.txt']]}
# What the product directory holds beside the listed files, as product_state gives it.
LINK, DIRECTORY = 'a link', 'an empty directory'

# (what, the product directory beside the listed files before the run (LINK: a link to a file
# of a recorded content), the names removed, what is there beside the listed files after it).
DROPPING = [
    ('dropped files removed, and the directory they leave empty',
     {'d.txt': b'older d', 'gone/e.dll': b'e 1'}, ['d.txt', 'gone/e.dll'], {}),
    ('a dropped file the user changed kept, and a directory not left empty',
     {'d.txt': b'mine', 'gone/e.dll': b'e 1', 'gone/mine.txt': b'mine'}, ['gone/e.dll'],
     {'d.txt': b'mine', 'gone/mine.txt': b'mine'}),
    ('a name the list still lists kept', {'c.txt': FILES['c.txt']}, [], {}),
    ('a dropped name that is now a directory kept', {'dir.dll/x': b'x'}, [], {'dir.dll/x': b'x'}),
    ('a dropped name that is now a link kept', {'link.dll': LINK}, [], {'link.dll': LINK}),
]


def make_product(product, state, outside):
    """Lays out state in product; a LINK points to a file of content x in outside."""
    for name, content in state.items():
        path = os.path.join(product, *name.split('/'))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if content == LINK:
            write_files(outside, {'target': b'x'})
            os.symlink(os.path.join(outside, 'target'), path)
        else:
            write_files(product, {name: content})


def product_state(product, listed):
    """What product holds beside the names listed: files, links and empty directories."""
    state = {}
    for directory, subdirectories, names in os.walk(product):
        for name in names + subdirectories:
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, product).replace(os.sep, '/')
            if relative in listed:
                continue
            if os.path.islink(path):
                state[relative] = LINK
            elif os.path.isdir(path):
                if not os.listdir(path):
                    state[relative] = DIRECTORY
            else:
                with open(path, 'rb') as f:
                    state[relative] = f.read()
    return state


# What the diagnosis log (KESTRIN_LOG) says of a case of CASES: the words of the reason it gives.
LOG_REASONS = {
    'a file altered after signing, one cut short, one without a record':
        'file c.txt: refused: the signed release has no record of it',
    'a manifest signed by another key':
        "manifest refused: the signature is not this key's signature of the manifest",
    'no signature': ('transfer Update/Manifest.sig', 'failed: the server refused the request'),
    'an expired manifest': 'manifest refused: the manifest expired at ',
    'a replayed older manifest': 'manifest refused: the manifest\'s serial ',
}


def logged_reason(what, log):
    """The words of LOG_REASONS that the log at path log is missing for case what, or None."""
    reason = LOG_REASONS.get(what, ())
    with open(log, encoding='latin-1') as f:
        text = f.read()
    missing = [words for words in ((reason,) if isinstance(reason, str) else reason)
               if words not in text]
    return missing or None


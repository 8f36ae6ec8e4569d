#!/usr/bin/python3
"""Reads the resources back out of the built executable with wrestool (icoutils) and compares
them with ui/res/resources.json: both dialog templates (extended and classic, every field and
control), the icon group (sizes and 4 bits per pixel), the string table, the version record
and the application manifest, all in language 1033. Every difference is reported, not only the first.

    resources_test.py --exe EXE --resources RESOURCES_JSON --company KEY --product NAME
                      [unittest arguments]

(the build's names, which the source's texts name as {company} and {product})
"""
import argparse
import json
import os
import struct
import subprocess
import sys
import unittest
from xml.etree import ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                os.pardir, 'support'))
import harness  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                os.pardir, os.pardir, 'scripts'))
from gen_resources import with_names  # noqa: E402

# --exe, --resources and the build's names.
ARGS = None
PREDEFINED_CLASSES = {0x80: 'button', 0x81: 'edit', 0x82: 'static', 0x83: 'listbox',
                      0x84: 'scrollbar', 0x85: 'combobox'}


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, fmt):
        values = struct.unpack_from('<' + fmt, self.data, self.pos)
        self.pos += struct.calcsize('<' + fmt)
        return values if len(values) > 1 else values[0]

    def align(self, n):
        self.pos = (self.pos + n - 1) // n * n

    def sz(self):
        end = self.pos
        while self.data[end:end + 2] != b'\0\0':
            end += 2
        text = self.data[self.pos:end].decode('utf-16-le')
        self.pos = end + 2
        return text

    def sz_or_ord(self):
        if self.data[self.pos:self.pos + 2] == b'\xff\xff':
            self.pos += 2
            return self.take('H')
        return self.sz()


def parse_dialog(data):
    r = Reader(data)
    dlg = {}
    if r.data[:4] == b'\x01\x00\xff\xff':
        dlg['extended'] = True
        r.take('HH')
        _help, dlg['exstyle'], dlg['style'] = r.take('III')
    else:
        dlg['extended'] = False
        dlg['style'], dlg['exstyle'] = r.take('II')
    count = r.take('H')
    dlg['rect'] = list(r.take('hhhh'))
    dlg['menu'] = r.sz_or_ord()
    dlg['class'] = r.sz_or_ord()
    dlg['caption'] = r.sz()
    if dlg['style'] & 0x40:  # DS_SETFONT
        dlg['points'] = r.take('H')
        if dlg['extended']:
            dlg['weight'], dlg['italic'], dlg['charset'] = r.take('HBB')
        dlg['face'] = r.sz()
    dlg['controls'] = []
    for _ in range(count):
        r.align(4)
        c = {}
        if dlg['extended']:
            _help, c['exstyle'], c['style'] = r.take('III')
            c['rect'] = list(r.take('hhhh'))
            c['id'] = r.take('i')
        else:
            c['style'], c['exstyle'] = r.take('II')
            c['rect'] = list(r.take('hhhh'))
            c['id'] = r.take('h')
        cls = r.sz_or_ord()
        c['class'] = PREDEFINED_CLASSES.get(cls, cls) if isinstance(cls, int) else cls.lower()
        c['text'] = r.sz_or_ord()
        extra = r.take('H')
        r.pos += extra
        dlg['controls'].append(c)
    return dlg


def parse_version_node(data, pos):
    length, value_length, kind = struct.unpack_from('<HHH', data, pos)
    r = Reader(data[:pos + length])
    r.pos = pos + 6
    key = r.sz()
    r.align(4)
    if kind == 1:
        value = data[r.pos:r.pos + 2 * value_length].decode('utf-16-le').split('\0')[0]
        r.pos += 2 * value_length
    else:
        value = data[r.pos:r.pos + value_length]
        r.pos += value_length
    children = []
    r.align(4)
    while r.pos < pos + length:
        child, end = parse_version_node(data, r.pos)
        children.append(child)
        r.pos = (end + 3) // 4 * 4
    return {'key': key, 'value': value, 'children': children}, pos + length


class ResourcesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(ARGS.resources, encoding='utf-8') as f:
            cls.res = with_names(json.load(f), {'company': ARGS.company,
                                                'product': ARGS.product})

    def expect(self, actual, expected, what):
        """A difference fails the case but does not end it: every difference is reported."""
        with self.subTest(what):
            self.assertEqual(actual, expected)

    def resource(self, rtype, name):
        result = subprocess.run(['wrestool', '-x', '--raw', '--type=%d' % rtype,
                                 '--name=%d' % name, '--language=1033', ARGS.exe],
                                capture_output=True, check=False)
        self.assertTrue(result.returncode == 0 and result.stdout,
                        'no resource type %d name %d in language 1033' % (rtype, name))
        return result.stdout

    def test_dialogs(self):
        for want in self.res['dialogs']:
            with self.subTest(dialog=want['id']):
                self.check_dialog(want)

    def check_dialog(self, want):
        dlg = parse_dialog(self.resource(5, want['id']))
        what = 'dialog %d' % want['id']
        self.expect(dlg['extended'], want['extended'], what + ' extended')
        self.expect(hex(dlg['style']), hex(int(want['style'], 16)), what + ' style')
        self.expect(hex(dlg['exstyle']), hex(int(want['exstyle'], 16)),
                    what + ' extended style')
        self.expect(dlg['rect'], want['rect'], what + ' position and size')
        self.expect((dlg['menu'], dlg['class']), ('', ''), what + ' menu and class (none)')
        self.expect(dlg['caption'], want['caption'], what + ' caption')
        font = want['font']
        self.expect((dlg.get('points'), dlg.get('face')), (font['points'], font['face']),
                    what + ' font')
        if want['extended']:
            self.expect((dlg.get('weight'), dlg.get('italic'), dlg.get('charset')),
                        (font.get('weight', 0), font.get('italic', 0), font.get('charset', 1)),
                        what + ' font weight, italic and character set')
        self.expect(len(dlg['controls']), len(want['controls']), what + ' control count')
        for i, (c, s) in enumerate(zip(dlg['controls'], want['controls'])):
            cw = '%s control %d' % (what, i)
            self.expect(c['id'], s['id'], cw + ' id')
            self.expect(c['class'], s['class'].lower(), cw + ' class')
            self.expect(c['text'], s['icon'] if s.get('icon') else s['text'], cw + ' text')
            self.expect(c['rect'], s['rect'], cw + ' rectangle')
            self.expect(hex(c['style']), hex(int(s['style'], 16)), cw + ' style')
            self.expect(c['exstyle'], 0, cw + ' extended style')

    def test_icon(self):
        icon = self.res['icon']
        data = self.resource(14, icon['id'])
        _reserved, _type, count = struct.unpack_from('<HHH', data)
        entries = []
        for i in range(count):
            w, h, colours, _r, planes, bits, _size, _id = struct.unpack_from('<BBBBHHIH', data,
                                                                             6 + 14 * i)
            entries.append((w or 256, h or 256, colours, bits))
        sizes = sorted((int(s) for s in icon['images']), reverse=True)
        self.expect(sorted(entries, reverse=True), [(s, s, 16, 4) for s in sizes],
                    'icon group %d images (width, height, colours, bits)' % icon['id'])

    def test_strings(self):
        for s in self.res['strings']:
            with self.subTest(string=s['id']):
                r = Reader(self.resource(6, s['id'] // 16 + 1))
                text = None
                for index in range(16):
                    length = r.take('H')
                    value = r.data[r.pos:r.pos + 2 * length].decode('utf-16-le')
                    r.pos += 2 * length
                    if index == s['id'] % 16:
                        text = value
                self.expect(text, s['text'], 'string %d' % s['id'])

    def test_version(self):
        ver = self.res['version']
        root, _ = parse_version_node(self.resource(16, 1), 0)
        self.expect(root['key'], 'VS_VERSION_INFO', 'version record key')
        fixed = struct.unpack_from('<13I', root['value'])
        self.expect(fixed[0], 0xFEEF04BD, 'version record signature')

        def version(ms, ls):
            return [ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF]

        self.expect(version(fixed[2], fixed[3]), ver['fileversion'], 'file version')
        self.expect(version(fixed[4], fixed[5]), ver['productversion'], 'product version')
        for i, key in enumerate(('fileflagsmask', 'fileflags', 'fileos', 'filetype',
                                 'filesubtype')):
            self.expect(fixed[6 + i], int(ver[key], 16), key)
        blocks = {child['key']: child for child in root['children']}
        string_info = blocks.get('StringFileInfo', {'children': []})
        tables = {t['key']: t for t in string_info['children']}
        self.expect(sorted(tables), [ver['block']], 'string blocks')
        table = tables.get(ver['block'], {'children': []})
        self.expect([(n['key'], n['value']) for n in table['children']],
                    [tuple(pair) for pair in ver['strings']], 'version strings, in order')
        var_info = blocks.get('VarFileInfo', {'children': []})
        translation = [n['value'] for n in var_info['children'] if n['key'] == 'Translation']
        expected = struct.pack('<HH', *(int(v, 0) for v in ver['translation']))
        self.expect(translation, [expected], 'translation entry')

    def test_application_manifest(self):
        ns = {'v1': 'urn:schemas-microsoft-com:asm.v1', 'v3': 'urn:schemas-microsoft-com:asm.v3',
              'c': 'urn:schemas-microsoft-com:compatibility.v1',
              'ws': 'http://schemas.microsoft.com/SMI/2005/WindowsSettings'}
        root = ElementTree.fromstring(self.resource(24, 1))
        level = root.find('v3:trustInfo/v3:security/v3:requestedPrivileges/'
                          'v3:requestedExecutionLevel', ns)
        self.expect(None if level is None else (level.get('level'), level.get('uiAccess')),
                    ('asInvoker', 'false'), 'requested execution level')
        systems = {e.get('Id') for e in root.findall('c:compatibility/c:application/c:supportedOS',
                                                     ns)}
        self.expect(systems, {'{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',  # 7
                              '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}',  # 8
                              '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',  # 8.1
                              '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'},  # 10 and 11
                    'supported Windows versions')
        dpi = root.find('v3:application/v3:windowsSettings/ws:dpiAware', ns)
        self.expect(None if dpi is None else dpi.text, 'true', 'system DPI awareness')
        controls = [(a.get('name'), a.get('version'), a.get('publicKeyToken')) for a in
                    root.findall('v1:dependency/v1:dependentAssembly/v1:assemblyIdentity', ns)]
        self.expect(controls, [('Microsoft.Windows.Common-Controls', '6.0.0.0',
                                '6595b64144ccf1df')], 'common controls')
        own = root.find('v1:assemblyIdentity', ns)
        version = '.'.join(str(n) for n in self.res['version']['productversion'])
        self.expect(None if own is None else own.get('version'), version, 'manifest version')

    def test_languages(self):
        listing = subprocess.run(['wrestool', '-l', ARGS.exe], capture_output=True,
                                 text=True).stdout
        languages = {part.split('=')[1] for part in listing.split()
                     if part.startswith('--language=')}
        self.expect(languages, {'1033'}, 'resource languages')


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--exe', required=True)
    parser.add_argument('--resources', required=True)
    parser.add_argument('--company', required=True)
    parser.add_argument('--product', required=True)
    ARGS, argv = harness.split_args(parser)
    harness.main(argv)

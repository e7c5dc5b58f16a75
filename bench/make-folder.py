#!/usr/bin/env python3
"""Writes a mail folder of ISO-2022-KR mails of about the given size, for the benchmark.

    make-folder.py PATH MEGABYTES
"""
import random
import sys

def encodable(char):
    try:
        return len(char.encode('iso2022_kr')) > 4
    except UnicodeEncodeError:
        return False


# The 2350 syllables of KS C 5601.
HANGUL = [chr(c) for c in range(0xAC00, 0xD7A4) if encodable(chr(c))]
HANJA = list('本社會議時間場所新聞學校大韓民國')


def iso2022_kr(text):
    encoded = text.encode('iso2022_kr')
    # The codec opens every call with the designator; a mail has it once, on its own line.
    return encoded[4:] if encoded.startswith(b'\x1b$)C') else encoded


def sentence(rng):
    words = []
    for _ in range(rng.randint(3, 9)):
        pool = HANJA if rng.random() < 0.05 else HANGUL
        words.append(''.join(rng.choice(pool) for _ in range(rng.randint(1, 4))))
        if rng.random() < 0.15:
            words.append(rng.choice(['ISO', 'mail', '1996', 'OK', 'Netscape']))
    return ' '.join(words) + rng.choice(['.', '?', '!', ','])


def mail(rng, number):
    lines = [
        f'From - Mon Sep 23 10:{number % 60:02d}:00 1996',
        f'From: sender{number}@example.kr',
        'To: reader@example.kr',
        f'Subject: mail {number}',
        'MIME-Version: 1.0',
        'Content-Type: text/plain; charset=ISO-2022-KR',
        '',
    ]
    head = '\r\n'.join(lines).encode('ascii') + b'\r\n\x1b$)C\r\n'
    body = b''.join(iso2022_kr(sentence(rng)) + b'\r\n' for _ in range(rng.randint(5, 40)))
    return head + body + b'\r\n'


def main():
    path, megabytes = sys.argv[1], float(sys.argv[2])
    rng = random.Random(1996)
    pool = [mail(rng, n) for n in range(400)]
    target = int(megabytes * 1024 * 1024)
    written = 0
    with open(path, 'wb') as out:
        while written < target:
            block = b''.join(pool)
            out.write(block)
            written += len(block)


if __name__ == '__main__':
    main()

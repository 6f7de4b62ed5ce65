"""Independent model of the data mapping and its inversion.

Written from the description of map_column and invert_column with plain
Python integers (every sum taken modulo 256), one column at a time; used as
the oracle for map_data and inv_data, including their failure messages.
"""


class ModelPanic(Exception):
    """The internal failure the module raises as PanicException."""


def index_message(length: int, index: int) -> str:
    return f"index out of bounds: the len is {length} but the index is {index}"


def equality_message(what: str, left: int, right: int) -> str:
    return f"assertion `left == right` failed: {what}\n  left: {left}\n right: {right}"


IDENTITY_MESSAGE = "assertion failed: identity < num_funcs"
PARTIES_MESSAGE = "At least two parties must be present"
COUNT_TEXT = "There should be the same number of data sequences as private keys"
PUBLIC_TEXT = "All private keys should be the same length as the public key"


def lookup(table, index: int) -> int:
    if index >= len(table):
        raise ModelPanic(index_message(len(table), index))
    return table[index]


def suffix_sums(column):
    """S_0 .. S_n: S_k = c_k + .. + c_{n-1} mod 256, S_n = 0."""
    sums = [0] * (len(column) + 1)
    for k in range(len(column) - 1, -1, -1):
        sums[k] = (sums[k + 1] + column[k]) % 256
    return sums


def map_column(pub, priv, identity: int, column) -> int:
    """The mapped byte of one column for party `identity`."""
    if identity >= len(column):
        raise ModelPanic(IDENTITY_MESSAGE)
    s = suffix_sums(column)
    z = [(column[0] - lookup(pub, s[1])) % 256]
    if identity >= 1:
        z.append((z[0] + column[1] - s[2]) % 256)
    for k in range(2, identity + 1):
        running = sum(z[1:k]) % 256
        z.append((z[0] + column[k] - lookup(pub, running) - s[k + 1]) % 256)
    return lookup(priv, z[identity])


def common_length(sequences) -> int:
    first = len(sequences[0])
    for i, seq in enumerate(sequences):
        if len(seq) != first:
            raise ModelPanic(
                "all inner vectors must have equal length; "
                f"data_sequences[0].len() = {first}, but data_sequences[{i}].len() = {len(seq)}")
    return first


def map_data(pub, priv, identity: int, sequences) -> bytes:
    if len(sequences) < 2:
        raise ModelPanic(PARTIES_MESSAGE)
    if identity >= len(sequences):
        raise ModelPanic(IDENTITY_MESSAGE)
    length = common_length(sequences)
    return bytes(map_column(pub, priv, identity, [seq[j] for seq in sequences])
                 for j in range(length))


def invert_table(table):
    inverted = [0] * 256
    for k, value in enumerate(table):
        inverted[value] = k % 256
    return inverted


def invert_column(steps, pub):
    """The source column from its step values z_0 .. z_{n-1}, last party first."""
    n = len(steps)
    if n == 1:
        raise ModelPanic(index_message(1, 1))
    z = steps
    c = [0] * n
    for k in range(n - 1, 1, -1):
        suffix = sum(c[k + 1:]) % 256
        running = sum(z[1:k]) % 256
        c[k] = (z[k] + suffix + pub[running] - z[0]) % 256
    c[1] = (z[1] + sum(c[2:]) - z[0]) % 256
    c[0] = (z[0] + pub[sum(c[1:]) % 256]) % 256
    return c


def inv_data(pub, priv_keys, sequences):
    if len(sequences) != len(priv_keys):
        raise ModelPanic(equality_message(COUNT_TEXT, len(sequences), len(priv_keys)))
    if not sequences:
        raise ModelPanic(index_message(0, 0))
    length = common_length(sequences)
    inverted = [invert_table(t) for t in priv_keys]
    if length == 0:
        return [b""] * len(sequences)
    if len(pub) != 256:
        raise ModelPanic(equality_message(PUBLIC_TEXT, len(pub), 256))
    columns = [invert_column([inv[seq[j]] for inv, seq in zip(inverted, sequences)], pub)
               for j in range(length)]
    return [bytes(col[i] for col in columns) for i in range(len(sequences))]

"""The one exception type of the Python layer."""


class InputError(ValueError):
    """Bad input to velkora's tables, fits or command line.

    The message names the column, argument or value at fault, so that it can be
    shown to the user as it is, without a traceback.
    """

class VexaCoreError(Exception):
    """A failure reported by the library; `last_error` is the library's own text."""

    def __init__(self, message, last_error=None, result=None):
        super().__init__(message)
        self.last_error = message if last_error is None else last_error
        # The ChatResult of a failed turn, when the error comes from one.
        self.result = result
